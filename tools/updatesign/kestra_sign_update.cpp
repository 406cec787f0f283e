// Signs update archives for the demo and the tests:
//   kestra-sign-update key SEEDFILE           prints the base64 public key of a seed file
//   kestra-sign-update sign SEEDFILE ARCHIVE   writes ARCHIVE.sig (base64 Ed25519 signature)
// A seed file holds the 32-byte private seed in base64.
#include "trust/ZDUpdateSignature.h"

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>

#include <cstdio>

namespace {
constexpr qint64 kMaxArchiveBytes = qint64(1) << 31;

QByteArray seedFrom(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > 256)
        return {};
    const auto decoded = QByteArray::fromBase64Encoding(file.readAll().trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    return decoded && decoded.decoded.size() == ZDUpdateSignature::kKeyBytes ? decoded.decoded : QByteArray();
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const bool key = args.size() == 2 && args[0] == QLatin1String("key");
    if (!key && !(args.size() == 3 && args[0] == QLatin1String("sign"))) {
        std::fputs("usage: kestra-sign-update key SEEDFILE | sign SEEDFILE ARCHIVE\n", stderr);
        return 64;
    }
    const QByteArray seed = seedFrom(args[1]);
    if (seed.isEmpty()) {
        std::fputs("kestra-sign-update: the seed file must hold 32 bytes in base64\n", stderr);
        return 1;
    }
    if (key) {
        std::printf("%s\n", ZDUpdateSignature::publicKeyOf(seed).toBase64().constData());
        return 0;
    }
    QFile archive(args[2]);
    if (!archive.open(QIODevice::ReadOnly) || archive.size() > kMaxArchiveBytes) {
        std::fprintf(stderr, "kestra-sign-update: cannot read %s\n", qPrintable(args[2]));
        return 1;
    }
    const QByteArray signature = ZDUpdateSignature::sign(archive.readAll(), seed);
    QSaveFile out(args[2] + QLatin1String(ZDUpdateSignature::kSignatureSuffix));
    if (signature.isEmpty() || !out.open(QIODevice::WriteOnly) || out.write(signature.toBase64() + '\n') < 0
        || !out.commit()) {
        std::fprintf(stderr, "kestra-sign-update: cannot sign %s\n", qPrintable(args[2]));
        return 1;
    }
    return 0;
}
