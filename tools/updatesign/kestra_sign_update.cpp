// Makes update keys and signs update archives:
//   kestra-sign-update generate SEEDFILE   writes a new private seed (mode 0600) and prints its public key
//   kestra-sign-update key SEEDFILE        prints the base64 public key of a seed file
//   kestra-sign-update sign SEEDFILE ARCHIVE --bundle ID --version N [--minimum N] [--days N | --expires DATE]
//                                          writes ARCHIVE.manifest (see ZDUpdateManifest.h); 90 days by default
// A seed file holds the 32-byte private seed in base64. The development seed beside
// this tool is public: builds trust it only when asked for a demo build.
#include "trust/ZDUpdateManifest.h"
#include "trust/ZDUpdateSignature.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QSaveFile>

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr qint64 kMaxArchiveBytes = qint64(1) << 31;
constexpr int kDefaultDays = 90;

QByteArray seedFrom(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > 256)
        return {};
    const auto decoded = QByteArray::fromBase64Encoding(file.readAll().trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    return decoded && decoded.decoded.size() == ZDUpdateSignature::kKeyBytes ? decoded.decoded : QByteArray();
}

int error(const QString &text)
{
    std::fprintf(stderr, "kestra-sign-update: %s\n", qPrintable(text));
    return 1;
}

// A new seed, never over an existing file and readable by its owner only.
int generate(const QString &path)
{
    QByteArray seed(ZDUpdateSignature::kKeyBytes, '\0');
    QRandomGenerator::system()->generate(seed.begin(), seed.end());
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return error(QStringLiteral("cannot create %1 (it must not exist yet)").arg(path));
    const QByteArray text = seed.toBase64() + '\n';
    const bool written = ::write(fd, text.constData(), size_t(text.size())) == text.size();
    if (::close(fd) != 0 || !written)
        return error(QStringLiteral("cannot write %1").arg(path));
    std::printf("%s\n", ZDUpdateSignature::publicKeyOf(seed).toBase64().constData());
    return 0;
}

int sign(const QByteArray &seed, const QString &archivePath, const QCommandLineParser &options)
{
    QFile archive(archivePath);
    if (!archive.open(QIODevice::ReadOnly) || archive.size() > kMaxArchiveBytes)
        return error(QStringLiteral("cannot read %1").arg(archivePath));
    ZDUpdateManifest::Fields fields;
    fields.bundleIdentifier = options.value(QStringLiteral("bundle"));
    fields.version = ZDUpdateManifest::versionNumber(options.value(QStringLiteral("version")));
    bool ok = true;
    if (options.isSet(QStringLiteral("minimum")))
        fields.minimumVersion = options.value(QStringLiteral("minimum")).toLongLong(&ok);
    if (!ok || fields.bundleIdentifier.isEmpty() || fields.version < 1)
        return error(QStringLiteral("sign needs --bundle ID and --version N (a whole number from 1), --minimum N if given"));
    if (options.isSet(QStringLiteral("expires"))) {
        fields.expires = QDateTime::fromString(options.value(QStringLiteral("expires")), Qt::ISODate).toUTC();
    } else {
        const int days = options.isSet(QStringLiteral("days")) ? options.value(QStringLiteral("days")).toInt(&ok) : kDefaultDays;
        fields.expires = ok ? QDateTime::currentDateTimeUtc().addDays(days) : QDateTime();
    }
    if (!fields.expires.isValid())
        return error(QStringLiteral("--expires needs an ISO 8601 date, --days a number"));
    fields.sha256 = QCryptographicHash::hash(archive.readAll(), QCryptographicHash::Sha256);
    const QByteArray manifest = ZDUpdateManifest::write(fields, seed);
    QSaveFile out(archivePath + QLatin1String(ZDUpdateManifest::kSuffix));
    if (manifest.isEmpty() || !out.open(QIODevice::WriteOnly) || out.write(manifest) != manifest.size() || !out.commit())
        return error(QStringLiteral("cannot sign %1").arg(archivePath));
    return 0;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("generate, key or sign"));
    parser.addOptions({{QStringLiteral("bundle"), QStringLiteral("bundle identifier"), QStringLiteral("ID")},
                       {QStringLiteral("version"), QStringLiteral("the archive's CFBundleVersion"), QStringLiteral("N")},
                       {QStringLiteral("minimum"), QStringLiteral("oldest installed version it may replace"), QStringLiteral("N")},
                       {QStringLiteral("days"), QStringLiteral("valid for N days"), QStringLiteral("N")},
                       {QStringLiteral("expires"), QStringLiteral("valid until an ISO 8601 date"), QStringLiteral("DATE")}});
    if (!parser.parse(app.arguments())) {
        error(parser.errorText());
        return 64;
    }
    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0);
    if (!(args.size() == 2 && (command == QLatin1String("generate") || command == QLatin1String("key")))
        && !(args.size() == 3 && command == QLatin1String("sign"))) {
        std::fputs("usage: kestra-sign-update generate SEEDFILE | key SEEDFILE\n"
                   "       kestra-sign-update sign SEEDFILE ARCHIVE --bundle ID --version N [--minimum N]"
                   " [--days N | --expires DATE]\n", stderr);
        return 64;
    }
    if (command == QLatin1String("generate"))
        return generate(args[1]);
    const QByteArray seed = seedFrom(args[1]);
    if (seed.isEmpty())
        return error(QStringLiteral("the seed file must hold 32 bytes in base64"));
    if (command == QLatin1String("key")) {
        std::printf("%s\n", ZDUpdateSignature::publicKeyOf(seed).toBase64().constData());
        return 0;
    }
    return sign(seed, args[2], parser);
}
