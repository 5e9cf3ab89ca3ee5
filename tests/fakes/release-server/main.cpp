// fake-release-server --engine <tag>=<llama-server> [--engine <tag>=<llama-server>]
//                     [--filler-mb N] [--rate BYTES_PER_SECOND]
// llama.cpp's releases API and download host on 127.0.0.1 (a free port; prints "port <n>" once it
// listens), with real archives built at start, sent at --rate when given. Each scenario has its
// releases JSON at "/<scenario>/releases/latest", its archives under "/files/<scenario>/":
//   latest      the first engine as .tar.gz (CPU and Vulkan builds, with digests), plus builds for
//               other systems; --filler-mb adds an incompressible file of that size
//   older-zip   the second engine (or the first) as .zip, without digests, like older releases
//   broken      no program at all        missinglib  refused by the loader for want of libgomp.so.1
//   sigill      dies of an illegal instruction
//   ownlibs     starts only when the loader looks in its own folder, as llama.cpp's release builds
//   baddigest   the latest archive with a digest that does not match it
//   dotdot      an entry "../escaped.txt"  absolute  an entry at an absolute path
//   truncated   the latest archive cut in half (no digest, so the unpacker sees the cut)
//   noasset     builds for other systems only   ratelimit  the API refusing with 403 and its message
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
#include <QTimer>
#include <cstdio>

#include <archive.h>
#include <archive_entry.h>

namespace {

struct Entry
{
    QString name; // as written into the archive, unchecked ("../x" and "/x" too)
    QByteArray content;
    bool executable = false;
};

struct Asset
{
    QString name;
    QByteArray bytes;
    QString digest; // "sha256:<hex>", or empty
};

struct Scenario
{
    QString tag;
    QList<Asset> assets;
    QByteArray refusal; // when set, the API answers 403 with this body
};

QString sha256(const QByteArray &bytes)
{
    return QStringLiteral("sha256:") + QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// A real `.tar.gz` or `.zip` (by the name's ending) holding `entries`.
QByteArray pack(const QString &name, const QList<Entry> &entries)
{
    QByteArray bytes;
    struct archive *writer = archive_write_new();
    if (name.endsWith(QLatin1String(".zip"))) {
        archive_write_set_format_zip(writer);
    } else {
        archive_write_set_format_pax_restricted(writer);
        archive_write_add_filter_gzip(writer);
    }
    archive_write_set_bytes_in_last_block(writer, 1);
    const auto append = [](struct archive *, void *out, const void *data, size_t size) -> la_ssize_t {
        static_cast<QByteArray *>(out)->append(static_cast<const char *>(data), qsizetype(size));
        return la_ssize_t(size);
    };
    bool ok = archive_write_open(writer, &bytes, nullptr, append, nullptr) == ARCHIVE_OK;
    for (const Entry &file : entries) {
        archive_entry *entry = archive_entry_new();
        archive_entry_set_pathname(entry, file.name.toUtf8().constData());
        archive_entry_set_size(entry, file.content.size());
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, file.executable ? 0755 : 0644);
        ok = ok && archive_write_header(writer, entry) == ARCHIVE_OK
            && archive_write_data(writer, file.content.constData(), file.content.size()) == file.content.size();
        archive_entry_free(entry);
    }
    ok = archive_write_close(writer) == ARCHIVE_OK && ok;
    archive_write_free(writer);
    if (!ok) {
        std::fprintf(stderr, "cannot build %s\n", qPrintable(name));
        std::exit(2);
    }
    return bytes;
}

QString assetName(const QString &tag, const char *build, const char *extension)
{
    return QStringLiteral("llama-%1-bin-%2.%3").arg(tag, QLatin1String(build), QLatin1String(extension));
}

// Answers one request and closes; archives go at `rate` bytes per second when given.
class Connection : public QObject
{
public:
    Connection(QTcpSocket *socket, const QHash<QString, Scenario> &scenarios, qint64 rate)
        : QObject(socket), m_socket(socket), m_scenarios(scenarios), m_rate(rate)
    {
        connect(socket, &QTcpSocket::readyRead, this, &Connection::read);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(&m_timer, &QTimer::timeout, this, &Connection::pump);
    }

private:
    void read()
    {
        m_request += m_socket->readAll();
        if (m_answered || !m_request.contains("\r\n\r\n"))
            return;
        m_answered = true;
        const QStringList parts = QString::fromLatin1(m_request.left(m_request.indexOf("\r\n")).split(' ').value(1))
                                      .split(QLatin1Char('/'), Qt::SkipEmptyParts);
        if (parts.size() == 3 && parts[1] == QLatin1String("releases") && m_scenarios.contains(parts[0]))
            return answerRelease(parts[0]);
        if (parts.size() == 3 && parts[0] == QLatin1String("files")) {
            for (const Asset &asset : m_scenarios.value(parts[1]).assets)
                if (asset.name == parts[2])
                    return answer(200, "application/octet-stream", asset.bytes);
        }
        answer(404, "application/json", R"({"message":"Not Found"})");
    }

    void answerRelease(const QString &name)
    {
        const Scenario &scenario = m_scenarios[name];
        if (!scenario.refusal.isEmpty())
            return answer(403, "application/json", scenario.refusal);
        QJsonArray assets;
        for (const Asset &asset : scenario.assets) {
            QJsonObject object{{"name", asset.name}, {"size", asset.bytes.size()},
                               {"browser_download_url", QStringLiteral("http://127.0.0.1:%1/files/%2/%3")
                                                            .arg(m_socket->localPort()).arg(name, asset.name)}};
            if (!asset.digest.isEmpty())
                object.insert("digest", asset.digest);
            assets.append(object);
        }
        answer(200, "application/json", QJsonDocument(QJsonObject{{"tag_name", scenario.tag}, {"assets", assets}}).toJson());
    }

    void answer(int status, const QByteArray &type, const QByteArray &body)
    {
        m_socket->write("HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : status == 403 ? " Forbidden" : " Not Found")
                        + "\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size())
                        + "\r\nConnection: close\r\n\r\n");
        m_body = body;
        if (m_rate > 0 && type == "application/octet-stream")
            return m_timer.start(10);
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
    qint64 m_rate;
    QByteArray m_request, m_body;
    qint64 m_sent = 0;
    bool m_answered = false;
    QTimer m_timer;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QList<std::pair<QString, QByteArray>> engines; // tag, program
    qint64 fillerBytes = 0, rate = 0;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--engine")) {
            QFile program(args[i + 1].section(QLatin1Char('='), 1));
            engines.append({args[i + 1].section(QLatin1Char('='), 0, 0), program.open(QIODevice::ReadOnly) ? program.readAll() : QByteArray()});
        } else if (args[i] == QLatin1String("--filler-mb")) {
            fillerBytes = args[i + 1].toLongLong() * 1024 * 1024;
        } else if (args[i] == QLatin1String("--rate")) {
            rate = args[i + 1].toLongLong();
        }
    }
    if (engines.isEmpty() || engines.first().second.isEmpty()) {
        std::fprintf(stderr, "usage: fake-release-server --engine <tag>=<llama-server> …\n");
        return 2;
    }
    if (engines.size() == 1)
        engines.append(engines.first());

    const auto program = [](const QByteArray &content) {
        return QList<Entry>{{QStringLiteral("build/bin/llama-server"), content, true}, {QStringLiteral("build/bin/LICENSE"), "MIT License\n"}};
    };
    const auto script = [&](const QByteArray &body) { return program("#!/bin/sh\n" + body + "\n"); };
    const auto single = [](const QString &tag, const QByteArray &bytes, const QString &digest = QString()) {
        return Scenario{tag, {{assetName(tag, "ubuntu-x64", "tar.gz"), bytes, digest}}, {}};
    };
    const auto otherSystems = [](const QString &tag) {
        return QList<Asset>{{assetName(tag, "macos-arm64", "zip"), "zip", {}}, {assetName(tag, "win-cpu-x64", "zip"), "zip", {}}};
    };

    QHash<QString, Scenario> scenarios;
    const QString tag = engines[0].first;
    QList<Entry> entries = program(engines[0].second);
    if (fillerBytes > 0) {
        QByteArray filler(fillerBytes, Qt::Uninitialized);
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(filler.data()), filler.size() / 4);
        entries.append({QStringLiteral("build/bin/libggml-cpu.so"), filler});
    }
    const QByteArray latest = pack(QStringLiteral(".tar.gz"), entries);
    scenarios["latest"] = Scenario{tag, otherSystems(tag) + QList<Asset>{{assetName(tag, "ubuntu-x64", "tar.gz"), latest, sha256(latest)},
                                                                        {assetName(tag, "ubuntu-vulkan-x64", "tar.gz"), latest, sha256(latest)}}, {}};
    scenarios["baddigest"] = single(QStringLiteral("b9004"), latest, sha256("something else"));
    scenarios["truncated"] = single(QStringLiteral("b9007"), latest.left(latest.size() / 2));
    const QString older = engines[1].first;
    scenarios["older-zip"] = Scenario{older, otherSystems(older) + QList<Asset>{{assetName(older, "ubuntu-x64", "zip"),
                                                                                 pack(QStringLiteral(".zip"), program(engines[1].second)), {}}}, {}};
    const QByteArray broken = pack(QStringLiteral(".tar.gz"), program("\x7f" "ELF garbage, not a program"));
    scenarios["broken"] = single(QStringLiteral("b9001"), broken, sha256(broken));
    scenarios["missinglib"] = single(QStringLiteral("b9002"), pack(QStringLiteral(".tar.gz"), script(
        "echo \"$0: error while loading shared libraries: libgomp.so.1: cannot open shared object file: No such file or directory\" >&2\nexit 127")));
    scenarios["sigill"] = single(QStringLiteral("b9003"), pack(QStringLiteral(".tar.gz"), script("kill -ILL $$")));
    scenarios["ownlibs"] = single(QStringLiteral("b9009"), pack(QStringLiteral(".tar.gz"), script(
        "case \":$LD_LIBRARY_PATH:\" in *\":$(dirname \"$0\"):\"*) echo 'version: 9009 (ownlibs)'; exit 0;; esac\n"
        "echo \"$0: error while loading shared libraries: libllama.so: cannot open shared object file: No such file or directory\" >&2\nexit 127")));
    entries = program(engines[0].second) << Entry{QStringLiteral("../escaped.txt"), "outside\n"};
    scenarios["dotdot"] = single(QStringLiteral("b9005"), pack(QStringLiteral(".tar.gz"), entries));
    entries.last().name = QDir::temp().filePath(QStringLiteral("morlo-escaped-%1.txt").arg(QCoreApplication::applicationPid()));
    scenarios["absolute"] = single(QStringLiteral("b9006"), pack(QStringLiteral(".tar.gz"), entries));
    scenarios["noasset"] = Scenario{QStringLiteral("b9008"), otherSystems(QStringLiteral("b9008")), {}};
    scenarios["ratelimit"].refusal = R"json({"message":"API rate limit exceeded for 127.0.0.1. (But here's the good news: Authenticated requests get a higher rate limit.)","documentation_url":"https://docs.github.com/rest/overview/resources-in-the-rest-api#rate-limiting"})json";

    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "cannot listen: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&] {
        while (QTcpSocket *socket = server.nextPendingConnection())
            new Connection(socket, scenarios, rate);
    });
    std::printf("port %u\n", server.serverPort());
    std::fflush(stdout);
    return app.exec();
}
