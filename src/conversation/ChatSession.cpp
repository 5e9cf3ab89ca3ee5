#include "conversation/ChatSession.h"

ChatSession ChatSession::make()
{
    const QDateTime now = QDateTime::currentDateTime();
    return ChatSession{QUuid::createUuid(), newChatTitle, {}, now, now, std::nullopt, false};
}
