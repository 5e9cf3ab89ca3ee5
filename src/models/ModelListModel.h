#pragma once

#include <QAbstractListModel>

class ModelManager;

// The catalogue as the models tab lists it: one row per downloadable file, carrying its model's
// fields too, in catalogue order. A state change of one file redraws that row only, so a running
// download never rebuilds the list.
class ModelListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum Role {
        ModelIdRole = Qt::UserRole + 1,
        VariantIdRole,
        RepoRole,
        DisplayNameRole,
        DescriptionRole,
        ParameterCountRole,
        HasDownloadedVariantRole,
        QuantizationRole,
        QualityLabelRole,
        SizeLabelRole,
        ExceedsAvailableRAMRole,
        IsDownloadedRole,
        IsDownloadingRole,
        DownloadProgressRole,
        ProgressTextRole,
        HasStartTimeRole,
        RemainingTimeTextRole,
        LocalPathRole,
        OriginRole,       // "catalog", "file" or "hub"
        IsMissingRole,    // a file the user opened is no longer where it was
        SourceRepoRole,   // the other repository a catalogue file comes from; empty = its own
        LibraryGroupRole, // the heading a row sits under: "" for the catalogue, "My models"
    };

    ModelListModel(ModelManager *manager, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    Q_INVOKABLE void download(int row);
    Q_INVOKABLE void cancel(int row);
    Q_INVOKABLE void remove(int row);
    Q_INVOKABLE void removeFromLibrary(int row);
    Q_INVOKABLE void load(int row);

    // Every row may read differently (the machine's memory changed).
    void refreshAll();

private:
    struct Position
    {
        int model;
        int variant;
    };
    std::optional<Position> position(int row) const;
    int rowOf(int modelIndex, int variantIndex) const;
    void variantChanged(int modelIndex, int variantIndex);
    template<typename Operation>
    void apply(int row, Operation operation);

    ModelManager *m_manager;
};
