#pragma once

#include <QString>
#include <variant>

// A failure of a system action. The description is what the user and the model see.
struct ActionError
{
    QString domain;
    int code = 0;
    QString description;
};

// The text an action produced, or why it could not.
using TextResult = std::variant<QString, ActionError>;

// "Error: " + description for a failure, the text itself otherwise: how results reach the model.
QString resultText(const TextResult &result);
QString errorText(const ActionError &error);
