// The merge rules over per-computer answers, table by table: version order,
// common values and their markers, ranges, status summaries, reference statistics
// of failing computers, common items, majority values, and hostile shapes. And the panel
// refresh: the timer refreshes only while the console is active, "autoRefresh" is on and
// nothing processes; a new selection refreshes whatever the automatic setting says, once
// the work that holds it back has ended.
#include "ZDAggregation.h"
#include "ZDAutoRefresh.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

// One dictionary per value under "k"; an invalid QVariant leaves the key out.
QVariantList column(const QVariantList &values, const QString &key = QStringLiteral("k"))
{
    QVariantList out;
    for (const QVariant &v : values)
        out << (v.isValid() ? QVariant(QVariantMap({{key, v}})) : QVariant(QVariantMap()));
    return out;
}

const QVariant various = QStringLiteral("(various)");
const QVariant minusOne = qint64(-1);

} // namespace

class TestZDAggregation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void compareVersions()
    {
        // Minor decides, missing parts are 0, a fourth is ignored, numeric not textual, non-numeric is 0,
        // leading digits count, empty is zero, huge saturates, negative.
        const struct { const char *a, *b; int expected; } cases[] = {
            {"10.4.11", "10.5", -1}, {"3.1", "3.1.0", 0}, {"1.2.0.9", "1.2", 0}, {"1.10", "1.9", 1}, {"1.beta", "1.0", 0},
            {"1.2b", "1.2", 0}, {"", "0.0.0", 0}, {"99999999999999999999999", "1", 1}, {"-1", "0", -1}};
        for (const auto &c : cases) {
            const QString a = QString::fromLatin1(c.a), b = QString::fromLatin1(c.b);
            QVERIFY2(ZDAggregation::compareVersionString(a, b) == c.expected, c.a);
            QVERIFY2(ZDAggregation::compareVersionString(b, a) == -c.expected, c.a);
        }
    }
    void aggregatedValue()
    {
        const QDateTime date = QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC);
        const struct { const char *name; QVariantList values; QVariant expected; } cases[] = {
            {"texts differ", {"en", "en", "fr"}, various},
            {"same date", {date, date, date}, date},
            {"dates differ", {date, date.addSecs(1)}, QVariant()},
            {"integer equals double", {1, 1.0}, 1},
            {"later missing differs", {"en", QVariant()}, QVariant()},
            {"leading missing skipped", {QVariant(), "en", "en"}, "en"},
            {"later type decides", {1, "x"}, various},
            {"text then number", {"x", 3}, minusOne},
            {"case matters", {"En", "en"}, various},
            {"all missing", {QVariant(), QVariant()}, QVariant()}};
        for (const auto &c : cases) {
            const QVariant result = ZDAggregation::aggregatedValueForKey(QStringLiteral("k"), column(c.values));
            QVERIFY2(ZDAggregation::valuesEqual(result, c.expected) && result.isNull() == c.expected.isNull(), c.name);
        }
    }
    void aggregatedAppValue()
    {
        const auto app = [](const QVariant &v) {
            return QVariant(QVariantMap({{QStringLiteral("Motion"), QVariantMap({{QStringLiteral("k"), v}})}}));
        };
        const QString key = QStringLiteral("k");
        const QString motion = QStringLiteral("Motion");
        // One computer: its value as it is, even one a merge would not keep.
        QCOMPARE(ZDAggregation::aggregatedValueForKey(key, motion, {app(QVariantList{1})}), QVariant(QVariantList{1}));
        QCOMPARE(ZDAggregation::aggregatedValueForKey(key, motion, {app("a"), app("a"), app("b")}), various);
        QVERIFY(ZDAggregation::aggregatedValueForKey(key, motion, {app(QVariantList{}), app(QVariantMap{})}).isNull());
        // As numbers: texts and numbers of the same integer value agree.
        QCOMPARE(ZDAggregation::aggregatedValueForKey(key, motion, {app("12"), app(12.7), app(12)}, true),
                 QVariant(qint64(12)));
        QCOMPARE(ZDAggregation::aggregatedValueForKey(key, motion, {app("12"), app("13")}, true), minusOne);
        // Without an application the top level is read; a non-dictionary sub-value reads as missing.
        QCOMPARE(ZDAggregation::aggregatedValueForKey(key, QString(), column({"x", "x"})), QVariant("x"));
        QVERIFY(ZDAggregation::aggregatedValueForKey(
                    key, motion, {QVariantMap({{motion, "not a dictionary"}}), QVariantMap({{motion, 3}})})
                    .isNull());
    }
    void versionRangeAndAppStatus()
    {
        const struct { QVariantList versions; QVariant expected; } ranges[] = {
            {{"1.2", "1.10", "1.3"}, "1.2 - 1.10"},            // numeric order
            {{QVariant(), "3.0", QVariant(), "2.5"}, "2.5 - 3.0"}, // missing skipped
            {{5, "1.0", QVariantMap()}, "1.0"},                // non-text skipped
            {{QVariant(), 7}, QVariant()},
            {{"1.0", "1.0.0", "0.9"}, "0.9 - 1.0"}};           // the first of equals kept
        for (const auto &r : ranges)
            QCOMPARE(ZDAggregation::versionRangeInArray(column(r.versions, QStringLiteral("v")), QStringLiteral("v")),
                     r.expected);
        const auto app = [](const QVariant &installed, const QVariant &running) {
            return QVariant(QVariantMap({{QStringLiteral("installed"), installed}, {QStringLiteral("running"), running}}));
        };
        const struct { QVariantList apps; const char *expected; } statuses[] = {
            {{app(true, true), app(true, true), app(false, false)}, "Some running"},
            {{app(true, false), app(false, false)}, "Not running"},
            {{app(true, false), app(false, true)}, "Not running"}, // running but not installed: ignored
            {{app(1, 1)}, "Running"},                             // numbers as booleans
            {{"x", 3, app("yes", "yes")}, "Not installed"}};
        for (const auto &s : statuses)
            QCOMPARE(ZDAggregation::aggregatedAppDictStatus(s.apps), QVariant(QString::fromLatin1(s.expected)));
    }
    void commonOrHighestStats()
    {
        const auto stats = [](const QVariant &os, const QVariant &model) {
            return QVariant(QVariantMap({{QStringLiteral("os"), os}, {QStringLiteral("model"), model}, {QStringLiteral("ram"), 8}}));
        };
        const QString os = QStringLiteral("os");
        const QString model = QStringLiteral("model");
        // A higher version elsewhere drops the key; a lower one keeps the first value.
        QCOMPARE(ZDAggregation::commonOrHighestStatsFromArray({stats("7.0.2", "Mac"), stats("7.0.3", "Mac")}),
                 QVariant(QVariantMap({{model, "Mac"}})));
        QCOMPARE(ZDAggregation::commonOrHighestStatsFromArray({stats("7.0.2", "Mac"), stats("7.0.1", "Mac")}),
                 QVariant(QVariantMap({{os, "7.0.2"}, {model, "Mac"}})));
        // Plain texts must be equal; non-text values elsewhere do not count; non-text keys are dropped.
        QCOMPARE(ZDAggregation::commonOrHighestStatsFromArray({stats("7.0.2", "Mac"), stats(7, "PC")}),
                 QVariant(QVariantMap({{os, "7.0.2"}})));
        QCOMPARE(ZDAggregation::commonOrHighestStatsFromArray({stats("7.0.2", "Mac"), stats(QVariant(), QVariant()), "junk"}),
                 QVariant(QVariantMap({{os, "7.0.2"}, {model, "Mac"}})));
        QVERIFY(ZDAggregation::commonOrHighestStatsFromArray({}).isNull());
        QCOMPARE(ZDAggregation::commonOrHighestStatsFromArray({"not a dictionary"}), QVariant(QVariantMap()));
    }
    void commonItems()
    {
        const auto item = [](const QString &name, int computer) {
            return QVariant(QVariantMap({{QStringLiteral("name"), name}, {QStringLiteral("from"), computer}}));
        };
        const QString plugins = QStringLiteral("Plugins");
        const QVariantList computers{
            QVariantMap({{plugins, QVariantList{item("A", 1), item("B", 1), item("C", 1)}}}),
            QVariantMap({{plugins, QVariantList{item("C", 2), item("A", 2)}}}),
            // A dictionary of items counts by its values.
            QVariantMap({{plugins, QVariantMap({{"x", item("B", 3)}, {"y", item("A", 3)}})}}),
        };
        // Only A is everywhere; the first computer's entry is returned.
        QCOMPARE(ZDAggregation::commonItemsFromArray(computers, plugins), QVariant(QVariantList{item("A", 1)}));
        QCOMPARE(ZDAggregation::commonItemsFromArray(computers.mid(0, 2), plugins),
                 QVariant(QVariantList{item("A", 1), item("C", 1)}));
        // A computer without the list has nothing in common with the others.
        QCOMPARE(ZDAggregation::commonItemsFromArray({computers[0], QVariantMap()}, plugins), QVariant(QVariantList()));
        // Items without a name or that are no dictionaries never match.
        QCOMPARE(ZDAggregation::commonItemsFromArray({QVariantMap({{plugins, QVariantList{3, QVariantMap()}}}),
                                                      QVariantMap({{plugins, QVariantList{3, QVariantMap()}}})},
                                                     plugins),
                 QVariant(QVariantList()));
    }
    void commonValues()
    {
        const QVariantList tasks{
            QVariantMap({{"hour", 3}, {"day", "Mon"}, {"only", "first"}}),
            QVariantMap({{"hour", 4}, {"day", "Tue"}}),
            QVariantMap({{"hour", 4}, {"day", "Mon"}, {"extra", 1}}),
            QVariantMap({{"hour", 3}, {"day", "Tue"}}),
            QVariantMap({{"hour", 4}}),
        };
        // hour: 4 three times; day: a tie between Mon and Tue goes to the first met.
        QCOMPARE(ZDAggregation::commonValuesForDictArray(tasks),
                 QVariantMap({{"hour", 4}, {"day", "Mon"}, {"only", "first"}}));
        QCOMPARE(ZDAggregation::commonValuesForDictArray({}), QVariantMap());
        QCOMPARE(ZDAggregation::commonValuesForDictArray({"junk", QVariantMap({{"a", 1}})}), QVariantMap());
    }
    void highestValue()
    {
        QCOMPARE(ZDAggregation::highestValueFromDict(QVariantMap({{"Final Cut", 3}, {"Motion", 9}, {"Color", "12"}})),
                 QVariant("Motion"));
        // The first numeric key in the walk wins a tie; fractions do not count.
        QCOMPARE(ZDAggregation::highestValueFromDict(QVariantMap({{"a", 2.7}, {"b", 2.2}})), QVariant("a"));
        QVERIFY(ZDAggregation::highestValueFromDict(QVariantMap({{"a", "9"}, {"b", QVariantList{}}})).isNull());
    }
    void dateComponents()
    {
        const QDateTime date(QDate(2021, 1, 3), QTime(14, 5, 9), Qt::LocalTime);
        const ZDAggregation::DateComponents c = ZDAggregation::componentsFromDate(date);
        QCOMPARE(c, (ZDAggregation::DateComponents{2021, 1, 3, 14, 5, 9, 53}));
        QCOMPARE(ZDAggregation::componentsFromDate(QDateTime()), ZDAggregation::DateComponents{});
    }
    void timerSelectionAndBusyWork()
    {
        bool active = false, enabled = true, busy = false;
        int runs = 0, activeAsked = 0, enabledAsked = 0, busyAsked = 0; // how often each condition was asked
        ZDAutoRefresh refresh;
        refresh.setConditions([&] { return ++activeAsked, active; }, [&] { return ++enabledAsked, enabled; },
                              [&] { return ++busyAsked, busy; });
        QSignalSpy available(&refresh, &ZDAutoRefresh::refreshAvailableChanged);
        refresh.setupAutoRefresh([&] { ++runs; }, std::chrono::seconds(1));
        QCOMPARE(available.last().first().toBool(), true);
        // A tick while another application is in front does nothing; in front, ticks refresh.
        QTRY_VERIFY_WITH_TIMEOUT(activeAsked > 0, 5000);
        QCOMPARE(runs, 0);
        active = true;
        QTRY_VERIFY_WITH_TIMEOUT(runs >= 1, 5000);
        enabled = false;
        const int before = runs, asked = enabledAsked;
        QTRY_VERIFY_WITH_TIMEOUT(enabledAsked > asked, 5000);
        QCOMPARE(runs, before);
        QVERIFY(refresh.autoRefreshData(false)); // the toolbar's refresh still works
        QCOMPARE(runs, before + 1);
        // A selection change while a batch runs refreshes when it ends, exactly once.
        refresh.setupAutoRefresh([&] { ++runs; }, std::chrono::seconds(0));
        busy = true;
        const int busyBefore = busyAsked;
        refresh.refreshAfterSelectionChange();
        QTRY_VERIFY_WITH_TIMEOUT(busyAsked > busyBefore, 10000); // the delayed refresh found the batch
        QCOMPARE(runs, before + 1);
        busy = false;
        refresh.processingEnded();
        QCOMPARE(runs, before + 2);
        refresh.processingEnded();
        QCOMPARE(runs, before + 2);
        // Without an operation nothing runs and the toolbar item is off.
        refresh.setupAutoRefresh({}, std::chrono::seconds(1));
        QCOMPARE(available.last().first().toBool(), false);
        QVERIFY(!refresh.autoRefreshData(false));
        QVERIFY(!refresh.isTimerActive());
    }
};

QTEST_GUILESS_MAIN(TestZDAggregation)
#include "tst_zdaggregation.moc"
