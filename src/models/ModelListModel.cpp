#include "models/ModelListModel.h"

#include "models/ModelManager.h"

ModelListModel::ModelListModel(ModelManager *manager, QObject *parent)
    : QAbstractListModel(parent)
    , m_manager(manager)
{
    connect(manager, &ModelManager::variantChanged, this, &ModelListModel::variantChanged);
    connect(manager, &ModelManager::modelsReset, this, [this] {
        beginResetModel();
        endResetModel();
    });
}

int ModelListModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    int rows = 0;
    for (const HFModel &model : m_manager->models())
        rows += model.variants.size();
    return rows;
}

std::optional<ModelListModel::Position> ModelListModel::position(int row) const
{
    if (row < 0)
        return std::nullopt;
    const QList<HFModel> &models = m_manager->models();
    for (int m = 0; m < models.size(); ++m) {
        if (row < models[m].variants.size())
            return Position{m, row};
        row -= models[m].variants.size();
    }
    return std::nullopt;
}

int ModelListModel::rowOf(int modelIndex, int variantIndex) const
{
    int row = variantIndex;
    for (int m = 0; m < modelIndex; ++m)
        row += m_manager->models()[m].variants.size();
    return row;
}

QVariant ModelListModel::data(const QModelIndex &index, int role) const
{
    const std::optional<Position> at = position(index.row());
    if (!at)
        return {};
    const HFModel &model = m_manager->models()[at->model];
    const ModelVariant &variant = model.variants[at->variant];
    switch (role) {
    case ModelIdRole: return model.id.toString(QUuid::WithoutBraces);
    case VariantIdRole: return variant.id.toString(QUuid::WithoutBraces);
    case RepoRole: return model.repo;
    case DisplayNameRole: return model.displayName;
    case DescriptionRole: return model.description;
    case ParameterCountRole: return model.parameterCount;
    case HasDownloadedVariantRole: return !model.downloadedVariants().isEmpty();
    case QuantizationRole: return variant.quantization;
    case QualityLabelRole: return variant.qualityLabel();
    case SizeLabelRole: return variant.sizeLabel();
    case ExceedsAvailableRAMRole: return m_manager->exceedsAvailableRAM(variant);
    case IsDownloadedRole: return variant.isDownloaded;
    case IsDownloadingRole: return variant.isDownloading;
    case DownloadProgressRole: return variant.downloadProgress;
    case ProgressTextRole:
        return ModelManager::progressText(variant.downloadProgress, variant.downloadedBytes,
                                          variant.totalBytes);
    case HasStartTimeRole: return variant.downloadStartTime.has_value();
    case RemainingTimeTextRole:
        return variant.downloadStartTime
            ? ModelManager::remainingTimeText(*variant.downloadStartTime, variant.downloadProgress,
                                              variant.totalBytes > 0 ? static_cast<double>(variant.resumedBytes) / static_cast<double>(variant.totalBytes) : 0.0)
            : QString();
    case LocalPathRole: return ModelManager::localFileURL(model, variant).toLocalFile();
    case OriginRole:
        return model.origin == ModelOrigin::catalog ? QStringLiteral("catalog")
             : model.origin == ModelOrigin::file    ? QStringLiteral("file")
                                                    : QStringLiteral("hub");
    case IsMissingRole: return model.origin == ModelOrigin::file && !variant.isDownloaded;
    case SourceRepoRole: return model.sourceRepo;
    case LibraryGroupRole:
        return model.origin == ModelOrigin::catalog ? QString() : QStringLiteral("My models");
    default: return {};
    }
}

QHash<int, QByteArray> ModelListModel::roleNames() const
{
    return {
        {ModelIdRole, "modelId"},
        {VariantIdRole, "variantId"},
        {RepoRole, "repo"},
        {DisplayNameRole, "displayName"},
        {DescriptionRole, "description"},
        {ParameterCountRole, "parameterCount"},
        {HasDownloadedVariantRole, "hasDownloadedVariant"},
        {QuantizationRole, "quantization"},
        {QualityLabelRole, "qualityLabel"},
        {SizeLabelRole, "sizeLabel"},
        {ExceedsAvailableRAMRole, "exceedsAvailableRAM"},
        {IsDownloadedRole, "isDownloaded"},
        {IsDownloadingRole, "isDownloading"},
        {DownloadProgressRole, "downloadProgress"},
        {ProgressTextRole, "progressText"},
        {HasStartTimeRole, "hasStartTime"},
        {RemainingTimeTextRole, "remainingTimeText"},
        {LocalPathRole, "localPath"},
        {OriginRole, "origin"},
        {IsMissingRole, "isMissing"},
        {SourceRepoRole, "sourceRepo"},
        {LibraryGroupRole, "libraryGroup"},
    };
}

void ModelListModel::variantChanged(int modelIndex, int variantIndex)
{
    const QModelIndex changed = index(rowOf(modelIndex, variantIndex));
    emit dataChanged(changed, changed);
    // The model's "has a downloaded file" mark shows on its other files' rows too.
    const int variantCount = m_manager->models()[modelIndex].variants.size();
    for (int v = 0; v < variantCount; ++v) {
        if (v == variantIndex)
            continue;
        const QModelIndex sibling = index(rowOf(modelIndex, v));
        emit dataChanged(sibling, sibling, {HasDownloadedVariantRole});
    }
}

void ModelListModel::refreshAll()
{
    if (rowCount() > 0)
        emit dataChanged(index(0), index(rowCount() - 1));
}

template<typename Operation>
void ModelListModel::apply(int row, Operation operation)
{
    const std::optional<Position> at = position(row);
    if (!at)
        return;
    // Copies: the operation may change the list it came from.
    const HFModel model = m_manager->models()[at->model];
    const ModelVariant variant = model.variants[at->variant];
    (m_manager->*operation)(model, variant);
}

void ModelListModel::download(int row) { apply(row, &ModelManager::downloadVariant); }
void ModelListModel::cancel(int row) { apply(row, &ModelManager::cancelDownload); }
void ModelListModel::remove(int row) { apply(row, &ModelManager::deleteVariant); }
void ModelListModel::removeFromLibrary(int row) { apply(row, &ModelManager::removeFromLibrary); }
void ModelListModel::load(int row) { apply(row, &ModelManager::loadVariant); }
