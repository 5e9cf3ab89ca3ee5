#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>

// One scripted chat reply turned into what goes on the wire: either a plain HTTP answer
// (status + body) or a stream of server-sent events and how that stream ends.
struct StreamPlan
{
    enum class Ending {
        Done,  // final chunk with finish_reason, usage and timings, then "data: [DONE]"
        Cut,   // the stream simply ends (no final chunk, no [DONE]) and the connection closes
        Hold,  // the stream never ends
        Crash, // the engine process dies after the events (connection lost mid-stream)
    };

    int status = 200;             // non-200, or a plain body, means no stream
    QByteArray contentType;
    QByteArray body;
    bool streamed = true;

    QList<QByteArray> events;     // each one complete, separators included
    Ending ending = Ending::Done;
    QByteArray finishReason = "stop";
    int delayMs = 0;

    static StreamPlan fromReply(const QJsonObject &reply);
    QByteArray finalEvents() const;
};
