#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <optional>

// The engine's chat-completions wire types, decode only. Keys not listed are ignored; a chunk
// without "choices", or a choice without "delta", does not decode at all.

struct OAIFunctionDelta
{
    std::optional<QString> name;
    std::optional<QString> arguments; // a fragment of a JSON object's text
};

struct OAIToolCallDelta
{
    std::optional<int> index;
    std::optional<QString> id;
    std::optional<OAIFunctionDelta> function;
};

struct OAIStreamChunk
{
    struct Choice
    {
        struct Delta
        {
            std::optional<QString> content;
            std::optional<QList<OAIToolCallDelta>> tool_calls;
        };
        Delta delta;
        std::optional<QString> finish_reason;
    };
    // The engine's own measurements, on the last chunk of a reply.
    struct Timings
    {
        std::optional<double> predicted_per_second;
    };
    QList<Choice> choices;
    std::optional<Timings> timings;

    static std::optional<OAIStreamChunk> decode(QByteArrayView json);
};

struct OAIErrorResponse
{
    struct ErrorBody
    {
        QString message;
        std::optional<int> code;

        // A bare error body {"code":…,"message":…}, as older engines send it in an "error:" event.
        static std::optional<ErrorBody> decode(QByteArrayView json);
    };
    ErrorBody error;

    static std::optional<OAIErrorResponse> decode(QByteArrayView json);
};
