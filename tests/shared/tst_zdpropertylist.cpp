// The formats the suite reads and writes: property lists, and credentials encrypted for the wire.
#include "ZDEncryption.h"
#include "ZDPropertyList.h"
#include "ZDTestSandbox.h"
#include <QtTest>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

QVariantMap sample(bool wholeSeconds)
{
    QDateTime when = QDateTime(QDate(2026, 12, 6), QTime(19, 40, 52, wholeSeconds ? 0 : 125), Qt::UTC);
    QVariantMap inner{{"empty array", QVariantList{}}, {"empty dict", QVariantMap{}}, {"empty text", QString()}};
    return QVariantMap{
        {"text", u"Grüße, 編集 & <xml> \"quotes\""_s},
        {"negative", qint64(-42)},
        {"min", std::numeric_limits<qint64>::min()},
        {"max", std::numeric_limits<qint64>::max()},
        {"zero", qint64(0)},
        {"real", 3.25},
        {"negative real", -1.0e-9},
        {"yes", true},
        {"no", false},
        {"date", when},
        {"old date", QDateTime(QDate(1990, 1, 2), QTime(3, 4, 5), Qt::UTC)},
        {"data", QByteArray("\x00\x01\xff binary\n", 11)},
        {"array", QVariantList{qint64(1), u"two"_s, QVariantList{qint64(3)}}},
        {"dict", inner},
    };
}

// Binary property list whose one array holds itself.
QByteArray cyclicBinary()
{
    QByteArray b("bplist00");
    b.append(char(0xA1)).append(char(0x00)); // array of one: object 0
    const char offsetTable = char(b.size() - 2);
    const int tableAt = int(b.size());
    b.append(offsetTable);
    QByteArray trailer(32, '\0');
    trailer[6] = 1;  // offset size
    trailer[7] = 1;  // reference size
    trailer[15] = 1; // one object
    trailer[31] = char(tableAt);
    return b + trailer;
}

// Binary property list of one dictionary {key: true}, the key object given raw.
QByteArray binaryDictWithKey(const QByteArray &keyObject)
{
    QByteArray b("bplist00");
    const char dictAt = char(b.size());
    b.append(char(0xD1)).append(char(1)).append(char(2));
    const char keyAt = char(b.size());
    b.append(keyObject);
    const char valueAt = char(b.size());
    b.append(char(0x09));
    const int tableAt = int(b.size());
    b.append(dictAt).append(keyAt).append(valueAt);
    QByteArray trailer(32, '\0');
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = 3;
    trailer[31] = char(tableAt);
    return b + trailer;
}

} // namespace

class TestZDPropertyList : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void roundTrips()
    {
        for (const auto f : {ZDPropertyList::Format::Xml, ZDPropertyList::Format::Binary}) {
            // XML carries whole seconds only; binary keeps fractions.
            const QVariantMap in = sample(f == ZDPropertyList::Format::Xml);
            QString error;
            const QByteArray bytes = ZDPropertyList::toData(in, f, &error);
            QVERIFY2(!bytes.isEmpty(), qPrintable(error));
            QVERIFY(f == ZDPropertyList::Format::Binary ? bytes.startsWith("bplist00") : bytes.contains("<plist"));
            const QVariant out = ZDPropertyList::fromData(bytes, &error);
            QVERIFY2(out.isValid(), qPrintable(error));
            const QVariantMap m = out.toMap();
            QCOMPARE(m.keys(), in.keys());
            for (auto it = in.cbegin(); it != in.cend(); ++it)
                QVERIFY2(m.value(it.key()) == it.value(), qPrintable(it.key()));
            QCOMPARE(m.value("negative").typeId(), int(QMetaType::LongLong));
            QCOMPARE(m.value("yes").typeId(), int(QMetaType::Bool));
            QCOMPARE(m.value("date").toDateTime().timeSpec(), Qt::UTC);
            // Written again, the same bytes: nothing drifts on repeated saves.
            QCOMPARE(ZDPropertyList::toData(out, f), bytes);
        }
    }
    void convenienceTypes()
    {
        const QVariant in = QVariantMap{{"list", QStringList{"a", "b"}}, {"int", 7}, {"uint", 7u},
                                        {"local date", QDateTime(QDate(2020, 2, 29), QTime(12, 0), Qt::OffsetFromUTC, 3600)}};
        const QVariantMap out = ZDPropertyList::fromData(ZDPropertyList::toData(in)).toMap();
        QCOMPARE(out.value("list").toList(), (QVariantList{"a", "b"}));
        QCOMPARE(out.value("int"), QVariant(qint64(7)));
        QCOMPARE(out.value("uint"), QVariant(qint64(7)));
        QCOMPARE(out.value("local date").toDateTime(), QDateTime(QDate(2020, 2, 29), QTime(11, 0), Qt::UTC));
        QString error;
        QVERIFY(ZDPropertyList::toData(QVariantMap{{"p", QPoint(1, 2)}}, ZDPropertyList::Format::Xml, &error).isEmpty());
        QVERIFY(!error.isEmpty());
        QVERIFY(ZDPropertyList::toData(QVariant(std::numeric_limits<quint64>::max())).isEmpty());
        QVERIFY(ZDPropertyList::toData(QVariant()).isEmpty());
    }
    void filesAreWrittenAtomically()
    {
        ZDTestSandbox box;
        const QString path = box.path("etc/xdg/com.zendrel.KestraClient.plist");
        QVERIFY(ZDPropertyList::writeFile(path, QVariantMap{{"port", 35011}}));
        QCOMPARE(ZDPropertyList::readDictionary(path).value("port"), QVariant(qint64(35011)));
        QVERIFY(ZDPropertyList::writeFile(path, QVariantMap{{"port", 1234}}, ZDPropertyList::Format::Binary));
        QCOMPARE(ZDPropertyList::readDictionary(path).value("port"), QVariant(qint64(1234)));
        // Only the file itself is left in its folder: no temporary files behind.
        QCOMPARE(QDir(box.path("etc/xdg")).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"com.zendrel.KestraClient.plist"});
        // A value that cannot be stored leaves the old file untouched.
        QVERIFY(!ZDPropertyList::writeFile(path, QVariantMap{{"p", QPoint()}}));
        QCOMPARE(ZDPropertyList::readDictionary(path).value("port"), QVariant(qint64(1234)));
        // A folder that cannot be created.
        QVERIFY(ZDTestSandbox::writeFile(box.path("blocker"), "file"));
        QVERIFY(!ZDPropertyList::writeFile(box.path("blocker/sub/x.plist"), QVariantMap{}));
        // A top level that is not a dictionary reads as an empty dictionary.
        QVERIFY(ZDPropertyList::writeFile(box.path("list.plist"), QVariantList{1, 2}));
        QVERIFY(ZDPropertyList::readDictionary(box.path("list.plist")).isEmpty());
        QCOMPARE(ZDPropertyList::readFile(box.path("list.plist")).toList().size(), 2);
    }
    void malformedInputReadsAsNone()
    {
        ZDTestSandbox box;
        QVERIFY(!ZDPropertyList::readFile(box.path("missing.plist")).isValid());
        QVERIFY(!ZDPropertyList::readFile(QString()).isValid());
        const QByteArray bin = ZDPropertyList::toData(sample(false), ZDPropertyList::Format::Binary);
        QList<QByteArray> bad = {
            QByteArray(),
            QByteArray("garbage that is no property list"),
            QByteArray("bplist00"),
            QByteArray("<?xml version=\"1.0\"?><plist><dict><key>a</key></plist>"),
            QByteArray("<plist><integer>12x</integer></plist>"),
            QByteArray("<plist><date>not a date</date></plist>"),
            QByteArray("<plist><data>!!!</data></plist>"),
            QByteArray(4096, '\xff'),
            cyclicBinary(),
            QByteArray("<plist>") + QByteArray(100000 * 7, 'x').replace("xxxxxxx", "<array>") + QByteArray("</plist>"),
        };
        // Truncated and flipped real files are the fuzzer's first mutations of its seeds.
        for (const QByteArray &b : bad) {
            QString error;
            QVERIFY2(ZDPropertyList::fromData(b, &error).isValid() || !error.isEmpty(), b.left(40).toHex().constData());
        }
        QVERIFY(!ZDPropertyList::fromData(cyclicBinary()).isValid());
        // Dictionary keys that are not plain text (found by fuzzing: the parser aborts on them).
        QCOMPARE(ZDPropertyList::fromData(binaryDictWithKey(QByteArray("\x53key", 4))).toMap().value("key"), QVariant(true));
        QVERIFY(!ZDPropertyList::fromData(binaryDictWithKey(QByteArray("\x10\x05", 2))).isValid());
        QVERIFY(!ZDPropertyList::fromData(binaryDictWithKey(QByteArray("\x53k\0y", 4))).isValid());
        QVERIFY(!ZDPropertyList::fromData(binaryDictWithKey(QByteArray("\x62\0k\0\0", 5))).isValid());
        // The same through files.
        const QString path = box.path("broken.plist");
        QVERIFY(ZDTestSandbox::writeFile(path, bin.left(bin.size() / 2)));
        QVERIFY(!ZDPropertyList::readFile(path).isValid());
        QVERIFY(ZDPropertyList::readDictionary(path).isEmpty());
        // Nested within the limit is fine, beyond it refused.
        QVariant deep = QVariantList{};
        for (int i = 0; i < ZDPropertyList::kMaxDepth - 1; ++i)
            deep = QVariantList{deep};
        QVERIFY(ZDPropertyList::fromData(ZDPropertyList::toData(deep)).isValid());
        for (int i = 0; i < 10; ++i)
            deep = QVariantList{deep};
        QVERIFY(ZDPropertyList::toData(deep).isEmpty());
    }
    void fipsVector()
    {
        // FIPS-197 appendix C.3: AES-256 with key 00..1f.
        QByteArray key;
        for (int i = 0; i < 32; ++i)
            key.append(char(i));
        const QByteArray plain = QByteArray::fromHex("00112233445566778899aabbccddeeff");
        const QByteArray cipher = QByteArray::fromHex("8ea2b7ca516745bfeafc49904b496089");
        const QString passphrase = QString::fromLatin1(key); // bytes 0..31 are one UTF-8 byte each
        QCOMPARE(ZDEncryption::AESEncryptData(plain, passphrase), cipher);
        QCOMPARE(ZDEncryption::AESDecryptData(cipher, passphrase), plain);
    }
    void blocksAndPadding()
    {
        const QString pass = ZDEncryption::credentialPassphrase();
        QCOMPARE(pass.size(), 36);
        QVERIFY(ZDEncryption::AESEncryptData({}, pass).isEmpty());
        QVERIFY(ZDEncryption::AESDecryptData({}, pass).isEmpty());
        QCOMPARE(ZDEncryption::AESEncryptData(QByteArray(16, 'a'), pass).size(), 16);
        QCOMPARE(ZDEncryption::AESEncryptData(QByteArray(17, 'a'), pass).size(), 32);
        // Decrypting keeps the padding; the receiver's trimming removes it.
        const QByteArray abc = ZDEncryption::AESEncryptData("abc", pass);
        QCOMPARE(ZDEncryption::AESDecryptData(abc, pass), QByteArray("abc") + QByteArray(13, ' '));
        QCOMPARE(ZDEncryption::decryptCredential(abc), u"abc"_s);
        // Electronic codebook: equal blocks stay equal.
        const QByteArray twice = ZDEncryption::AESEncryptData(QByteArray(32, 'x'), pass);
        QCOMPARE(twice.left(16), twice.mid(16));
        // Only the first 32 characters of a passphrase are the key.
        QString similar = pass.left(32) + u"FFFF"_s;
        QCOMPARE(ZDEncryption::AESDecryptData(abc, similar), ZDEncryption::AESDecryptData(abc, pass));
        // A short passphrase is padded with zero bytes.
        QCOMPARE(ZDEncryption::AESEncryptData("x", u"short"_s),
                 ZDEncryption::AESEncryptData("x", QString::fromLatin1(QByteArray("short") + QByteArray(27, '\0'))));
    }
    void credentials()
    {
        const QString password = u"pässwörd with spaces inside"_s;
        const QByteArray wire = ZDEncryption::encryptCredential(password);
        QVERIFY(!wire.contains(password.toUtf8()));
        QCOMPARE(ZDEncryption::decryptCredential(wire), password);
        // Spaces at the ends of a credential do not survive; that is the format.
        QCOMPARE(ZDEncryption::decryptCredential(ZDEncryption::encryptCredential(" pw ")), u"pw"_s);
        // Data that is not a credential reads as empty.
        QCOMPARE(ZDEncryption::decryptCredential(QByteArray(15, 'z')), QString());
        QCOMPARE(ZDEncryption::decryptCredential(ZDEncryption::AESEncryptData("\xff\xfe\xfd", ZDEncryption::credentialPassphrase())),
                 QString());
        QCOMPARE(ZDEncryption::decryptCredential({}), QString());
    }
};

QTEST_GUILESS_MAIN(TestZDPropertyList)
#include "tst_zdpropertylist.moc"
