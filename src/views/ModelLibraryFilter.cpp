#include "ModelLibraryFilter.h"

#include "ModelLibraryRules.h"
#include "models/ModelListModel.h"

ModelLibraryFilter::ModelLibraryFilter(QObject *parent)
    : QSortFilterProxyModel(parent)
{
}

void ModelLibraryFilter::setVariants(QAbstractItemModel *variants)
{
    if (variants == sourceModel())
        return;
    setSourceModel(variants);
    emit variantsChanged();
}

void ModelLibraryFilter::setSearchText(const QString &text)
{
    if (text == m_searchText)
        return;
    m_searchText = text;
    invalidateFilter();
    emit searchTextChanged();
}

QVariant ModelLibraryFilter::data(const QModelIndex &index, int role) const
{
    if (role == SourceRowRole)
        return mapToSource(index).row();
    if (role != FirstOfModelRole)
        return QSortFilterProxyModel::data(index, role);
    // Filtering keeps or drops a model's files together, so the first file is the same in both.
    const QModelIndex source = mapToSource(index);
    if (!source.isValid())
        return false;
    if (source.row() == 0)
        return true;
    const QModelIndex previous = source.siblingAtRow(source.row() - 1);
    return previous.data(ModelListModel::ModelIdRole) != source.data(ModelListModel::ModelIdRole);
}

QHash<int, QByteArray> ModelLibraryFilter::roleNames() const
{
    QHash<int, QByteArray> names = QSortFilterProxyModel::roleNames();
    names.insert(FirstOfModelRole, "isFirstOfModel");
    names.insert(SourceRowRole, "sourceRow");
    return names;
}

bool ModelLibraryFilter::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    const QModelIndex row = sourceModel()->index(sourceRow, 0, sourceParent);
    return ModelLibraryRules::matches(row.data(ModelListModel::DisplayNameRole).toString(),
                   row.data(ModelListModel::DescriptionRole).toString(),
                   row.data(ModelListModel::ParameterCountRole).toString(), m_searchText);
}
