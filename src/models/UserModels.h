#pragma once

#include "models/HFModel.h"

#include <QHash>
#include <QList>

// The entries the user added ("My models": files opened from disk, repositories added from the
// hub) and the other hub repositories chosen for catalogue files, kept in the defaults store so
// they survive restarts. The catalogue itself is never stored.
namespace UserModels {

QList<HFModel> load();
// Stores the file and hub entries of `models`; catalogue entries are left out.
void save(const QList<HFModel> &models);

// Catalogue file name → the repository chosen for it.
QHash<QString, QString> loadCatalogSources();
void saveCatalogSource(const QString &filename, const QString &repo);

} // namespace UserModels
