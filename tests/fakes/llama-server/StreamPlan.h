#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>

// One scripted chat reply turned into what goes on the wire: either a plain HTTP answer
// (status + body) or a stream of server-sent events and how that stream ends.
struct StreamPlan
{
    enum class Ending {
        Done,  // final chunk with finish_reason, timings (and usage), then "data: [DONE]"
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
    // Recent engines open with a role-only chunk and end without "usage".
    bool recentEngine = false;
    double tokensPerSecond = 1000.0; // "timings.predicted_per_second" of the last chunk; 0: no timings

    static StreamPlan fromReply(const QJsonObject &reply);
    QByteArray finalEvents() const;
};
