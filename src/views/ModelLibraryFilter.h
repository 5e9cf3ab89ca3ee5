#pragma once

#include <QSortFilterProxyModel>
#include <QtQml/qqmlregistration.h>

// The models tab's rows (one per downloadable file) narrowed to the models whose name,
// description or parameter count contains the search text. Every row also says whether it
// opens its model's card, so the view draws one card header per model.
class ModelLibraryFilter : public QSortFilterProxyModel
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QAbstractItemModel *variants READ sourceModel WRITE setVariants NOTIFY variantsChanged)
    Q_PROPERTY(QString searchText READ searchText WRITE setSearchText NOTIFY searchTextChanged)

public:
    // The row in the catalogue's own list, which the download and load operations take.
    enum Role { FirstOfModelRole = Qt::UserRole + 100, SourceRowRole };

    explicit ModelLibraryFilter(QObject *parent = nullptr);

    void setVariants(QAbstractItemModel *variants);
    QString searchText() const { return m_searchText; }
    void setSearchText(const QString &text);

    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

signals:
    void variantsChanged();
    void searchTextChanged();

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;

private:
    QString m_searchText;
};
