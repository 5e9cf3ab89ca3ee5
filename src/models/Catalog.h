#pragma once

#include "models/HFModel.h"

#include <QList>

// The models the app offers, in the order shown. Built once per run, with fresh identities.
const QList<HFModel> &catalog();
