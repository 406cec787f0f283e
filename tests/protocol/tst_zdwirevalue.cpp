// Values, frames and messages as bytes: every by-copy type survives the trip,
// and hostile input is refused with a reason.
#include "ZDRemoteError.h"
#include "ZDWireFrame.h"
#include "ZDWireMessage.h"
#include "ZDWireValue.h"

#include <QtTest>

#include <limits>

class TestZDWireValue : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void roundTrip_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::newRow("null") << QVariant();
        QTest::newRow("true") << QVariant(true);
        QTest::newRow("false") << QVariant(false);
        QTest::newRow("zero") << QVariant(qint64(0));
        QTest::newRow("int64 max") << QVariant(std::numeric_limits<qint64>::max());
        QTest::newRow("int64 min") << QVariant(std::numeric_limits<qint64>::min());
        QTest::newRow("double") << QVariant(-1234.5625);
        QTest::newRow("text") << QVariant(QStringLiteral("Édition – 編集 🎬"));
        QTest::newRow("empty text") << QVariant(QString(""));
        QTest::newRow("bytes") << QVariant(QByteArray("\0\x01\xff data", 9));
        QTest::newRow("date") << QVariant(QDateTime::fromMSecsSinceEpoch(1700000000123LL, Qt::UTC));
        QTest::newRow("old date") << QVariant(QDateTime::fromMSecsSinceEpoch(-86400000LL * 365 * 40, Qt::UTC));
        QTest::newRow("error") << QVariant::fromValue(ZDRemoteError(QStringLiteral("orvDomain"), 2008,
                                                                    {{QStringLiteral("info"), QStringLiteral("x")}}));
        QTest::newRow("reference") << QVariant::fromValue(ZDWireReference{false, 42});
        const QVariantMap inner{{QStringLiteral("n"), qint64(-7)}, {QStringLiteral("d"), QByteArray("z")}};
        QTest::newRow("nested") << QVariant(QVariantMap{
            {QStringLiteral("list"), QVariantList{qint64(1), QStringLiteral("two"), QVariant(), inner}},
            {QStringLiteral("empty map"), QVariantMap()},
            {QStringLiteral("empty list"), QVariantList()}});
    }
    void roundTrip()
    {
        QFETCH(QVariant, value);
        QString error;
        const QByteArray bytes = ZDWireValue::encode(value, &error);
        QVERIFY2(!bytes.isEmpty(), qPrintable(error));
        bool ok = false;
        const QVariant back = ZDWireValue::decode(bytes, &error, nullptr, ZDWireLimits().maxDepth, &ok);
        QVERIFY2(ok, qPrintable(error));
        QCOMPARE(back, value);
        QCOMPARE(back.metaType(), value.metaType());
    }
    void convertedTypes()
    {
        // Narrower integers, string lists and hashes travel as their general form.
        QCOMPARE(ZDWireValue::decode(ZDWireValue::encode(QVariant(int(-5)))), QVariant(qint64(-5)));
        QCOMPARE(ZDWireValue::decode(ZDWireValue::encode(QStringList{QStringLiteral("a")})),
                 QVariant(QVariantList{QStringLiteral("a")}));
        QCOMPARE(ZDWireValue::decode(ZDWireValue::encode(QVariantHash{{QStringLiteral("k"), true}})),
                 QVariant(QVariantMap{{QStringLiteral("k"), true}}));
    }
    void encodeRefusals()
    {
        QString error;
        QVERIFY(ZDWireValue::encode(QPoint(1, 2), &error).isEmpty());
        QVERIFY(error.contains(QLatin1String("QPoint")));
        QVariant deep = QVariantList();
        for (int i = 0; i < 70; ++i)
            deep = QVariantList{deep};
        error.clear();
        QVERIFY(ZDWireValue::encode(deep, &error).isEmpty());
        QVERIFY(error.contains(QLatin1String("deeply")));
    }
    void decodeRefusals_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("truncated array") << QByteArray::fromHex("830102");
        QTest::newRow("text longer than input") << QByteArray::fromHex("7a7fffffff41");
        QTest::newRow("map key not text") << QByteArray::fromHex("a10102");
        QTest::newRow("duplicate key") << QByteArray::fromHex("a2616101616102");
        QTest::newRow("unknown tag") << QByteArray::fromHex("d82001");
        QTest::newRow("date not a number") << QByteArray::fromHex("c16161");
        QTest::newRow("date out of range") << QByteArray::fromHex("c1fb7fefffffffffffff");
        QTest::newRow("integer too large") << QByteArray::fromHex("1bffffffffffffffff");
        QTest::newRow("negative too large") << QByteArray::fromHex("3bffffffffffffffff");
        QTest::newRow("simple value") << QByteArray::fromHex("f0");
        QTest::newRow("trailing bytes") << QByteArray::fromHex("0101");
        QTest::newRow("break alone") << QByteArray::fromHex("ff");
        QTest::newRow("unknown object") << QByteArray::fromHex("d81b8163666f6f");
        QTest::newRow("reference id text") << QByteArray::fromHex("d81b836b5a4452656d6f7465526566f56131");
        QByteArray deep(200, '\x81');
        deep.append('\x01');
        QTest::newRow("too deep") << deep;
    }
    void decodeRefusals()
    {
        QFETCH(QByteArray, bytes);
        QString error;
        bool ok = true;
        const QVariant v = ZDWireValue::decode(bytes, &error, nullptr, ZDWireLimits().maxDepth, &ok);
        QVERIFY(!ok);
        QVERIFY(!v.isValid());
        QVERIFY(!error.isEmpty());
    }
    void frames()
    {
        ZDWireFrame reader(100);
        const QByteArray stream = ZDWireFrame::wrap("first") + ZDWireFrame::wrap("second");
        QByteArray frame;
        QString error;
        QList<QByteArray> got;
        for (char c : stream) {
            reader.append(&c, 1);
            while (reader.next(&frame, &error) == ZDWireFrame::Status::Frame)
                got << frame;
        }
        QCOMPARE(got, (QList<QByteArray>{"first", "second"}));
        // The length alone is enough to refuse: no body needs to arrive.
        ZDWireFrame limited(100);
        QByteArray header(4, '\0');
        qToBigEndian(quint32(101), header.data());
        limited.append(header.constData(), header.size());
        QVERIFY(limited.next(&frame, &error) == ZDWireFrame::Status::Error);
        QVERIFY(error.contains(QLatin1String("101")));
        ZDWireFrame empty(100);
        empty.append("\0\0\0\0", 4);
        QVERIFY(empty.next(&frame, &error) == ZDWireFrame::Status::Error);
    }
    void messages()
    {
        const ZDWireLimits limits;
        QString error;
        const auto call = ZDWireMessage::call(7, 3, QStringLiteral("add:to:"), {qint64(1), qint64(2)}, true);
        const QByteArray frame = call.toFrame(nullptr, limits, &error);
        QVERIFY2(!frame.isEmpty(), qPrintable(error));
        const auto back = ZDWireMessage::fromBody(frame.mid(4), nullptr, limits, &error);
        QVERIFY2(back, qPrintable(error));
        QCOMPARE(back->id, quint64(7));
        QCOMPARE(back->target, quint64(3));
        QCOMPARE(back->op, QStringLiteral("add:to:"));
        QCOMPARE(back->args.size(), 2);
        QVERIFY(back->oneway);
        const auto failed = ZDWireMessage::fromBody(
            ZDWireMessage::errorReply(9, QStringLiteral("N"), QStringLiteral("R")).toFrame(nullptr, limits, &error).mid(4),
            nullptr, limits, &error);
        QVERIFY(failed && failed->failed && failed->errorName == QLatin1String("N"));
        // Well-formed values with the wrong shape are refused field by field.
        const QList<QVariantMap> wrong{
            {{QStringLiteral("type"), QStringLiteral("call")}, {QStringLiteral("id"), QStringLiteral("7")},
             {QStringLiteral("target"), qint64(0)}, {QStringLiteral("op"), QStringLiteral("ping")},
             {QStringLiteral("args"), QVariantList()}, {QStringLiteral("oneway"), false}},
            {{QStringLiteral("type"), QStringLiteral("call")}, {QStringLiteral("id"), qint64(-1)},
             {QStringLiteral("target"), qint64(0)}, {QStringLiteral("op"), QStringLiteral("ping")},
             {QStringLiteral("args"), QVariantList()}, {QStringLiteral("oneway"), false}},
            {{QStringLiteral("type"), QStringLiteral("reply")}, {QStringLiteral("id"), qint64(1)}},
            {{QStringLiteral("type"), QStringLiteral("release")}, {QStringLiteral("target"), qint64(1)},
             {QStringLiteral("count"), qint64(0)}},
            {{QStringLiteral("type"), QStringLiteral("hello")}, {QStringLiteral("version"), 1.0},
             {QStringLiteral("name"), QString()}},
            {{QStringLiteral("type"), QStringLiteral("launch")}},
            {{QStringLiteral("kind"), QStringLiteral("ping")}},
        };
        for (const QVariantMap &m : wrong) {
            error.clear();
            QVERIFY(!ZDWireMessage::fromBody(ZDWireValue::encode(m), nullptr, limits, &error));
            QVERIFY(!error.isEmpty());
        }
        QVERIFY(!ZDWireMessage::fromBody(ZDWireValue::encode(QVariantList()), nullptr, limits, &error));
        ZDWireLimits small;
        small.maxFrameBytes = 64;
        error.clear();
        QVERIFY(ZDWireMessage::reply(1, QByteArray(100, 'x')).toFrame(nullptr, small, &error).isEmpty());
        QVERIFY(error.contains(QLatin1String("limit")));
    }
    void largeDictionary()
    {
        QVariantMap root;
        for (int i = 0; i < 200; ++i) {
            QVariantMap item;
            for (int j = 0; j < 20; ++j)
                item.insert(QStringLiteral("key %1").arg(j), QVariantList{qint64(i * j), QStringLiteral("value %1").arg(j),
                                                                          QByteArray(100, char(j))});
            root.insert(QStringLiteral("item %1").arg(i), item);
        }
        const QByteArray bytes = ZDWireValue::encode(root);
        QVERIFY(bytes.size() > 256 * 1024);
        QCOMPARE(ZDWireValue::decode(bytes), QVariant(root));
    }
};

QTEST_GUILESS_MAIN(TestZDWireValue)
#include "tst_zdwirevalue.moc"
