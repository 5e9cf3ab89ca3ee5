#include "OAITypes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// An optional field: absent or null is "none"; a value of another type fails the whole decode.
bool optionalString(const QJsonObject &object, QLatin1StringView key, std::optional<QString> &out)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isString())
        return false;
    out = value.toString();
    return true;
}

bool optionalInt(const QJsonObject &object, QLatin1StringView key, std::optional<int> &out)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isDouble() || value.toDouble() != double(value.toInt()))
        return false;
    out = value.toInt();
    return true;
}

std::optional<OAIToolCallDelta> decodeToolCall(const QJsonValue &value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    OAIToolCallDelta delta;
    if (!optionalInt(object, QLatin1StringView("index"), delta.index)
        || !optionalString(object, QLatin1StringView("id"), delta.id))
        return std::nullopt;
    const QJsonValue function = object.value(QLatin1StringView("function"));
    if (function.isObject()) {
        OAIFunctionDelta decoded;
        const QJsonObject functionObject = function.toObject();
        if (!optionalString(functionObject, QLatin1StringView("name"), decoded.name)
            || !optionalString(functionObject, QLatin1StringView("arguments"), decoded.arguments))
            return std::nullopt;
        delta.function = decoded;
    } else if (!function.isUndefined() && !function.isNull()) {
        return std::nullopt;
    }
    return delta;
}

std::optional<OAIStreamChunk::Choice> decodeChoice(const QJsonValue &value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    const QJsonValue delta = object.value(QLatin1StringView("delta"));
    if (!delta.isObject())
        return std::nullopt;
    OAIStreamChunk::Choice choice;
    const QJsonObject deltaObject = delta.toObject();
    if (!optionalString(object, QLatin1StringView("finish_reason"), choice.finish_reason)
        || !optionalString(deltaObject, QLatin1StringView("content"), choice.delta.content))
        return std::nullopt;
    const QJsonValue toolCalls = deltaObject.value(QLatin1StringView("tool_calls"));
    if (toolCalls.isArray()) {
        QList<OAIToolCallDelta> calls;
        for (const QJsonValue &call : toolCalls.toArray()) {
            std::optional<OAIToolCallDelta> decoded = decodeToolCall(call);
            if (!decoded)
                return std::nullopt;
            calls.append(*decoded);
        }
        choice.delta.tool_calls = calls;
    } else if (!toolCalls.isUndefined() && !toolCalls.isNull()) {
        return std::nullopt;
    }
    return choice;
}

std::optional<QJsonObject> parseObject(QByteArrayView json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

} // namespace

std::optional<OAIStreamChunk> OAIStreamChunk::decode(QByteArrayView json)
{
    const std::optional<QJsonObject> object = parseObject(json);
    if (!object)
        return std::nullopt;
    const QJsonValue choices = object->value(QLatin1StringView("choices"));
    if (!choices.isArray())
        return std::nullopt;
    OAIStreamChunk chunk;
    for (const QJsonValue &value : choices.toArray()) {
        std::optional<Choice> choice = decodeChoice(value);
        if (!choice)
            return std::nullopt;
        chunk.choices.append(*choice);
    }
    // Measurements are a bonus: a malformed one is ignored rather than spoiling the chunk.
    const QJsonValue timings = object->value(QLatin1StringView("timings"));
    const QJsonValue speed = timings.toObject().value(QLatin1StringView("predicted_per_second"));
    if (speed.isDouble())
        chunk.timings = Timings{speed.toDouble()};
    return chunk;
}

namespace {

std::optional<OAIErrorResponse::ErrorBody> decodeErrorBody(const QJsonValue &value)
{
    const QJsonValue message = value.toObject().value(QLatin1StringView("message"));
    if (!value.isObject() || !message.isString())
        return std::nullopt;
    OAIErrorResponse::ErrorBody body{message.toString(), std::nullopt};
    if (!optionalInt(value.toObject(), QLatin1StringView("code"), body.code))
        body.code.reset();
    return body;
}

} // namespace

std::optional<OAIErrorResponse::ErrorBody> OAIErrorResponse::ErrorBody::decode(QByteArrayView json)
{
    const std::optional<QJsonObject> object = parseObject(json);
    if (!object)
        return std::nullopt;
    return decodeErrorBody(*object);
}

std::optional<OAIErrorResponse> OAIErrorResponse::decode(QByteArrayView json)
{
    const std::optional<QJsonObject> object = parseObject(json);
    if (!object)
        return std::nullopt;
    const std::optional<ErrorBody> body = decodeErrorBody(object->value(QLatin1StringView("error")));
    if (!body)
        return std::nullopt;
    return OAIErrorResponse{*body};
}
