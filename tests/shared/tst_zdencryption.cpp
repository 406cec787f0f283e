#include "ZDEncryption.h"
#include "ZDTestSandbox.h"
#include <QtTest>

using namespace Qt::StringLiterals;

class TestZDEncryption : public QObject
{
    Q_OBJECT

private Q_SLOTS:
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

QTEST_GUILESS_MAIN(TestZDEncryption)
#include "tst_zdencryption.moc"
