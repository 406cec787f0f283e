// Values, frames and messages as bytes: every by-copy type survives the trip,
// and hostile input is refused with a reason.
#include "ZDRemoteError.h"
#include "ZDWireFrame.h"
#include "ZDWireMessage.h"
#include "ZDWireValue.h"
#include <QtTest>
#include <limits>

using namespace Qt::StringLiterals;

class TestZDWireValue : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void roundTrip()
    {
        const QVariantMap inner{{u"n"_s, qint64(-7)}, {u"d"_s, QByteArray("z")}};
        const QVariantList values{
            QVariant(), true, false, qint64(0), std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::min(),
            -1234.5625, u"Édition – 編集 🎬"_s, QString(""), QByteArray("\0\x01\xff data", 9),
            QDateTime::fromMSecsSinceEpoch(1700000000123LL, Qt::UTC),
            QDateTime::fromMSecsSinceEpoch(-86400000LL * 365 * 40, Qt::UTC),
            QVariant::fromValue(ZDRemoteError(u"orvDomain"_s, 2008, {{u"info"_s, u"x"_s}})),
            QVariant::fromValue(ZDWireReference{false, 42}),
            QVariantMap{{u"list"_s, QVariantList{qint64(1), u"two"_s, QVariant(), inner}}, {u"empty map"_s, QVariantMap()},
                        {u"empty list"_s, QVariantList()}}};
        for (const QVariant &value : values) {
            QString error;
            const QByteArray bytes = ZDWireValue::encode(value, &error);
            QVERIFY2(!bytes.isEmpty(), qPrintable(error));
            bool ok = false;
            const QVariant back = ZDWireValue::decode(bytes, &error, nullptr, ZDWireLimits().maxDepth, &ok);
            QVERIFY2(ok, qPrintable(error));
            QCOMPARE(back, value);
            QCOMPARE(back.metaType(), value.metaType());
        }
    }
    void convertedTypes()
    {
        // Narrower integers, string lists and hashes travel as their general form.
        QCOMPARE(ZDWireValue::decode(ZDWireValue::encode(QVariant(int(-5)))), QVariant(qint64(-5)));
        QCOMPARE(ZDWireValue::decode(ZDWireValue::encode(QStringList{u"a"_s})), QVariant(QVariantList{u"a"_s}));
        QCOMPARE(ZDWireValue::decode(ZDWireValue::encode(QVariantHash{{u"k"_s, true}})),
                 QVariant(QVariantMap{{u"k"_s, true}}));
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
    void decodeRefusals()
    {
        // Empty, truncated array, text longer than the input, map key not text, duplicate key, unknown tag, date
        // not a number, date out of range, integers too large either way, simple value, trailing bytes, a break
        // alone, unknown object, reference id as text, and nesting too deep.
        QList<QByteArray> refused{QByteArray()};
        for (const char *hex : {"830102", "7a7fffffff41", "a10102", "a2616101616102", "d82001", "c16161",
                                "c1fb7fefffffffffffff", "1bffffffffffffffff", "3bffffffffffffffff", "f0", "0101", "ff",
                                "d81b8163666f6f", "d81b836b5a4452656d6f7465526566f56131"})
            refused << QByteArray::fromHex(hex);
        refused << QByteArray(200, '\x81') + '\x01';
        for (const QByteArray &bytes : refused) {
            QString error;
            bool ok = true;
            const QVariant v = ZDWireValue::decode(bytes, &error, nullptr, ZDWireLimits().maxDepth, &ok);
            QVERIFY2(!ok && !v.isValid() && !error.isEmpty(), bytes.toHex().constData());
        }
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
        // Too long a frame is the hostile-wire test's, refused from its length alone.
        ZDWireFrame empty(100);
        empty.append("\0\0\0\0", 4);
        QVERIFY(empty.next(&frame, &error) == ZDWireFrame::Status::Error);
    }
    // Whole messages making the trip are every call of the connection test; these must not.
    void messages()
    {
        const ZDWireLimits limits;
        QString error;
        // Well-formed values with the wrong shape are refused field by field.
        const auto callWithId = [](const QVariant &id) {
            return QVariantMap{{u"type"_s, u"call"_s}, {u"id"_s, id}, {u"target"_s, qint64(0)}, {u"op"_s, u"ping"_s},
                               {u"args"_s, QVariantList()}, {u"oneway"_s, false}};
        };
        const QList<QVariantMap> wrong{
            callWithId(u"7"_s), callWithId(qint64(-1)), {{u"type"_s, u"reply"_s}, {u"id"_s, qint64(1)}},
            {{u"type"_s, u"release"_s}, {u"target"_s, qint64(1)}, {u"count"_s, qint64(0)}},
            {{u"type"_s, u"hello"_s}, {u"version"_s, 1.0}, {u"name"_s, QString()}},
            {{u"type"_s, u"launch"_s}}, {{u"kind"_s, u"ping"_s}}};
        for (const QVariantMap &m : wrong) {
            error.clear();
            QVERIFY(!ZDWireMessage::fromBody(ZDWireValue::encode(m), nullptr, limits, &error) && !error.isEmpty());
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
                item.insert(u"key %1"_s.arg(j), QVariantList{qint64(i * j), u"value %1"_s.arg(j), QByteArray(100, char(j))});
            root.insert(u"item %1"_s.arg(i), item);
        }
        const QByteArray bytes = ZDWireValue::encode(root);
        QVERIFY(bytes.size() > 256 * 1024);
        QCOMPARE(ZDWireValue::decode(bytes), QVariant(root));
    }
};

QTEST_GUILESS_MAIN(TestZDWireValue)
#include "tst_zdwirevalue.moc"
