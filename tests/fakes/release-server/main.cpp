// fake-release-server --engine <tag>=<llama-server> [--engine <tag>=<llama-server>]
//                     [--filler-mb N] [--rate BYTES_PER_SECOND]
//
// Stands in for llama.cpp's releases API and its download host on 127.0.0.1 (a free port; it
// prints "port <n>" once it listens). At start it builds real archives; each scenario has its
// releases JSON at "/<scenario>/releases/latest", its archives under "/files/<scenario>/":
//
//   latest      the first engine as .tar.gz (CPU and Vulkan builds, with digests), plus builds
//               for other systems; --filler-mb adds an incompressible file of that size
//   older-zip   the second engine (or the first) as .zip, without digests, like older releases
//   broken      a llama-server that is no program at all
//   missinglib  a llama-server the system's loader refuses for want of libgomp.so.1
//   sigill      a llama-server that dies of an illegal instruction
//   ownlibs     a llama-server that, like llama.cpp's real release builds, starts only when the
//               loader is told to look for libraries in its own folder
//   baddigest   the latest archive, published with a digest that does not match it
//   dotdot      an archive with an entry "../escaped.txt"
//   absolute    an archive with an entry at an absolute path
//   truncated   the latest archive cut in half (no digest, so the unpacker sees the cut)
//   noasset     a release with builds for other systems only
//   ratelimit   the API refusing with 403 and its rate-limit message

#include "ReleaseArchives.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

namespace {

struct Asset
{
    QString name;
    QByteArray bytes;
    QString digest;  // "sha256:<hex>", or empty
};

struct Scenario
{
    Scenario() = default;
    Scenario(QString tag, QList<Asset> assets) : tag(std::move(tag)), assets(std::move(assets)) {}

    QString tag;
    QList<Asset> assets;
    int status = 200;
    QByteArray refusal;  // the body of a refused API request
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString sha256(const QByteArray &bytes)
{
    return QStringLiteral("sha256:") + QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// Builds one archive in `dir` and gives its bytes.
QByteArray archive(const QTemporaryDir &dir, const QString &name, const QList<ArchiveEntry> &entries)
{
    const QString path = dir.filePath(name);
    if (!writeArchive(path, entries)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::exit(2);
    }
    return readFile(path);
}

QString assetName(const QString &tag, const QString &build, const QString &extension)
{
    return QStringLiteral("llama-%1-bin-%2.%3").arg(tag, build, extension);
}

// Sends one answer, at `rate` bytes per second when given, and closes.
class Connection : public QObject
{
public:
    Connection(QTcpSocket *socket, const QHash<QString, Scenario> &scenarios, quint16 port, qint64 rate)
        : m_socket(socket), m_scenarios(scenarios), m_port(port), m_rate(rate)
    {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this] { read(); });
        connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
        connect(&m_timer, &QTimer::timeout, this, [this] { pump(); });
    }

private:
    void read()
    {
        m_request += m_socket->readAll();
        if (m_answered || !m_request.contains("\r\n\r\n"))
            return;
        m_answered = true;
        const QString path = QString::fromLatin1(m_request.left(m_request.indexOf("\r\n")).split(' ').value(1));
        const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        if (parts.size() == 3 && parts[1] == QLatin1String("releases") && m_scenarios.contains(parts[0]))
            return answerRelease(m_scenarios.value(parts[0]), parts[0]);
        if (parts.size() == 3 && parts[0] == QLatin1String("files") && m_scenarios.contains(parts[1])) {
            for (const Asset &asset : m_scenarios.value(parts[1]).assets) {
                if (asset.name == parts[2])
                    return answer(200, "application/octet-stream", asset.bytes);
            }
        }
        answer(404, "application/json", R"({"message":"Not Found"})");
    }

    void answerRelease(const Scenario &scenario, const QString &name)
    {
        if (scenario.status != 200)
            return answer(scenario.status, "application/json", scenario.refusal);
        QJsonArray assets;
        for (const Asset &asset : scenario.assets) {
            QJsonObject object{
                {QStringLiteral("name"), asset.name},
                {QStringLiteral("size"), asset.bytes.size()},
                {QStringLiteral("browser_download_url"),
                 QStringLiteral("http://127.0.0.1:%1/files/%2/%3").arg(m_port).arg(name, asset.name)},
            };
            if (!asset.digest.isEmpty())
                object.insert(QStringLiteral("digest"), asset.digest);
            assets.append(object);
        }
        const QJsonObject release{{QStringLiteral("tag_name"), scenario.tag}, {QStringLiteral("assets"), assets}};
        answer(200, "application/json", QJsonDocument(release).toJson(QJsonDocument::Compact));
    }

    void answer(int status, const QByteArray &type, const QByteArray &body)
    {
        const QByteArray reason = status == 200 ? "OK" : status == 403 ? "Forbidden" : "Not Found";
        m_socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\nContent-Type: " + type
                        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n");
        m_body = body;
        if (m_rate > 0 && status == 200 && type == "application/octet-stream") {
            m_timer.start(10);
            return;
        }
        m_socket->write(m_body);
        m_socket->disconnectFromHost();
    }

    void pump()
    {
        const qint64 n = std::max<qint64>(1, m_rate / 100);
        m_socket->write(m_body.mid(m_sent, n));
        m_sent += n;
        if (m_sent >= m_body.size()) {
            m_timer.stop();
            m_socket->disconnectFromHost();
        }
    }

    QTcpSocket *m_socket;
    const QHash<QString, Scenario> &m_scenarios;
    quint16 m_port;
    qint64 m_rate;
    QByteArray m_request;
    QByteArray m_body;
    qint64 m_sent = 0;
    bool m_answered = false;
    QTimer m_timer;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QList<std::pair<QString, QByteArray>> engines;  // tag, program
    qint64 fillerBytes = 0;
    qint64 rate = 0;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--engine"))
            engines.append({args[i + 1].section(QLatin1Char('='), 0, 0), readFile(args[i + 1].section(QLatin1Char('='), 1))});
        else if (args[i] == QLatin1String("--filler-mb"))
            fillerBytes = args[i + 1].toLongLong() * 1024 * 1024;
        else if (args[i] == QLatin1String("--rate"))
            rate = args[i + 1].toLongLong();
    }
    if (engines.isEmpty() || engines.first().second.isEmpty()) {
        std::fprintf(stderr, "usage: fake-release-server --engine <tag>=<llama-server> …\n");
        return 2;
    }
    if (engines.size() == 1)
        engines.append(engines.first());

    QTemporaryDir dir;
    const auto program = [](const QByteArray &content) {
        return QList<ArchiveEntry>{{QStringLiteral("build/bin/llama-server"), content, true},
                                   {QStringLiteral("build/bin/LICENSE"), "MIT License\n", false}};
    };
    const auto script = [&](const QByteArray &body) { return program("#!/bin/sh\n" + body + "\n"); };
    const auto single = [&](const QString &tag, const QList<ArchiveEntry> &entries, bool digest = false) {
        const QString name = assetName(tag, QStringLiteral("ubuntu-x64"), QStringLiteral("tar.gz"));
        const QByteArray bytes = archive(dir, tag + name, entries);
        return Scenario{tag, {{name, bytes, digest ? sha256(bytes) : QString()}}};
    };
    const auto otherSystems = [&](const QString &tag) {
        return QList<Asset>{{assetName(tag, QStringLiteral("macos-arm64"), QStringLiteral("zip")), "zip", QString()},
                            {assetName(tag, QStringLiteral("win-cpu-x64"), QStringLiteral("zip")), "zip", QString()}};
    };

    QHash<QString, Scenario> scenarios;
    {
        const QString tag = engines[0].first;
        QList<ArchiveEntry> entries = program(engines[0].second);
        if (fillerBytes > 0) {
            QByteArray filler(fillerBytes, Qt::Uninitialized);
            QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(filler.data()), filler.size() / 4);
            entries.append({QStringLiteral("build/bin/libggml-cpu.so"), filler, false});
        }
        const QString cpu = assetName(tag, QStringLiteral("ubuntu-x64"), QStringLiteral("tar.gz"));
        const QByteArray bytes = archive(dir, cpu, entries);
        Scenario latest{tag, otherSystems(tag)};
        latest.assets.append({cpu, bytes, sha256(bytes)});
        latest.assets.append({assetName(tag, QStringLiteral("ubuntu-vulkan-x64"), QStringLiteral("tar.gz")), bytes, sha256(bytes)});
        scenarios.insert(QStringLiteral("latest"), latest);

        Scenario wrong{QStringLiteral("b9004"), {{assetName(QStringLiteral("b9004"), QStringLiteral("ubuntu-x64"), QStringLiteral("tar.gz")), bytes, sha256("something else")}}};
        scenarios.insert(QStringLiteral("baddigest"), wrong);
        Scenario truncated{QStringLiteral("b9007"), {{assetName(QStringLiteral("b9007"), QStringLiteral("ubuntu-x64"), QStringLiteral("tar.gz")), bytes.left(bytes.size() / 2), QString()}}};
        scenarios.insert(QStringLiteral("truncated"), truncated);
    }
    {
        const QString tag = engines[1].first;
        const QString name = assetName(tag, QStringLiteral("ubuntu-x64"), QStringLiteral("zip"));
        Scenario older{tag, otherSystems(tag)};
        older.assets.append({name, archive(dir, name, program(engines[1].second)), QString()});
        scenarios.insert(QStringLiteral("older-zip"), older);
    }
    scenarios.insert(QStringLiteral("broken"), single(QStringLiteral("b9001"), program("\x7f" "ELF garbage, not a program"), true));
    scenarios.insert(QStringLiteral("missinglib"), single(QStringLiteral("b9002"), script(
        "echo \"$0: error while loading shared libraries: libgomp.so.1: cannot open shared object file: No such file or directory\" >&2\nexit 127")));
    scenarios.insert(QStringLiteral("sigill"), single(QStringLiteral("b9003"), script("kill -ILL $$")));
    scenarios.insert(QStringLiteral("ownlibs"), single(QStringLiteral("b9009"), script(
        "case \":$LD_LIBRARY_PATH:\" in *\":$(dirname \"$0\"):\"*) echo 'version: 9009 (ownlibs)'; exit 0;; esac\n"
        "echo \"$0: error while loading shared libraries: libllama.so: cannot open shared object file: No such file or directory\" >&2\nexit 127")));
    {
        QList<ArchiveEntry> entries = program(engines[0].second);
        entries.append({QStringLiteral("../escaped.txt"), "outside\n", false});
        scenarios.insert(QStringLiteral("dotdot"), single(QStringLiteral("b9005"), entries));
        entries.last().name = QDir::temp().filePath(QStringLiteral("morlo-escaped-%1.txt").arg(QCoreApplication::applicationPid()));
        scenarios.insert(QStringLiteral("absolute"), single(QStringLiteral("b9006"), entries));
    }
    scenarios.insert(QStringLiteral("noasset"), Scenario{QStringLiteral("b9008"), otherSystems(QStringLiteral("b9008"))});
    Scenario limited;
    limited.status = 403;
    limited.refusal = R"json({"message":"API rate limit exceeded for 127.0.0.1. (But here's the good news: Authenticated requests get a higher rate limit.)","documentation_url":"https://docs.github.com/rest/overview/resources-in-the-rest-api#rate-limiting"})json";
    scenarios.insert(QStringLiteral("ratelimit"), limited);

    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "cannot listen: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    const quint16 port = server.serverPort();
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&] {
        while (QTcpSocket *socket = server.nextPendingConnection())
            new Connection(socket, scenarios, port, rate);
    });
    std::printf("port %u\n", port);
    std::fflush(stdout);
    return app.exec();
}
