#pragma once

#include "conversation/Message.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QUuid>
#include <optional>

// One stored conversation.
struct ChatSession
{
    QUuid id;
    QString title;
    QList<Message> messages;
    QDateTime createdAt;
    QDateTime updatedAt;
    std::optional<QString> systemPromptOverride;
    bool isPinned = false;

    // A fresh "New Chat" session, created and updated now.
    static ChatSession make();

    bool operator==(const ChatSession &) const = default;
};

inline const QString newChatTitle = QStringLiteral("New Chat");
