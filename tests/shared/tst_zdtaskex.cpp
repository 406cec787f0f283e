#include "ZDLog.h"
#include "ZDTaskEx.h"
#include "ZDTestSandbox.h"

#include <QDir>
#include <QFile>
#include <QSemaphore>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Children of this process that have ended but were never reaped.
int zombieChildren()
{
    int count = 0;
    const QString self = QString::number(::getpid());
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QByteArray stat = ZDTestSandbox::readFile(QStringLiteral("/proc/%1/stat").arg(entry));
        const int close = stat.lastIndexOf(')');
        if (close < 0)
            continue;
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        if (fields.size() > 1 && fields[0] == "Z" && fields[1] == self.toLatin1())
            ++count;
    }
    return count;
}

bool processExists(pid_t pid)
{
    return QFile::exists(QStringLiteral("/proc/%1").arg(pid));
}

struct Recorder
{
    std::mutex mutex;
    QList<QByteArray> chunks;
    QList<QVariant> objects;
    QList<ZDTaskEx *> runners;
    QSemaphore firstChunk;

    ZDTaskEx::Delegate delegate()
    {
        return [this](const QByteArray &chunk, ZDTaskEx *runner, const QVariant &object) {
            std::lock_guard lock(mutex);
            chunks << chunk;
            objects << object;
            runners << runner;
            if (chunks.size() == 1)
                firstChunk.release();
        };
    }
    QList<QByteArray> received()
    {
        std::lock_guard lock(mutex);
        return chunks;
    }
};

} // namespace

class TestZDTaskEx : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ZDTestSandbox> m_sandbox;

    QString script(const QString &name, const QByteArray &body)
    {
        const QString path = m_sandbox->path(QStringLiteral("bin/") + name);
        if (!ZDTestSandbox::writeFile(path, "#!/bin/sh\n" + body + '\n'))
            return QString();
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }

    static QString logText()
    {
        ZDLog::finishWriting();
        return QString::fromUtf8(ZDTestSandbox::readFile(ZDLog::availableLogs().value(0)));
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_sandbox = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_sandbox->isValid());
        ZDLog::createNewLog(QStringLiteral("tst_zdtaskex"));
    }

    void refusesWhatIsNotRunnable()
    {
        const QString bundle = m_sandbox->path(QStringLiteral("Tool.app"));
        const QString inner = bundle + QStringLiteral("/Contents/MacOS/Tool");
        QVERIFY(ZDTestSandbox::writeFile(inner, "#!/bin/sh\necho ran\n"));
        QFile::setPermissions(inner, QFile::ReadOwner | QFile::ExeOwner);
        QVERIFY(QFileInfo(bundle).isExecutable());
        const QString plain = m_sandbox->path(QStringLiteral("bin/plain"));
        QVERIFY(ZDTestSandbox::writeFile(plain, "#!/bin/sh\necho ran\n"));

        for (const QString &path : {bundle, plain, m_sandbox->path(QStringLiteral("missing")), QString()}) {
            QVERIFY2(!ZDTaskEx::isRunnable(path), qPrintable(path));
            QVERIFY(!ZDTaskEx::runTask(path, {}));
            QCOMPARE(ZDTaskEx::terminationCodeFromTask(path, {}), -1);
            QCOMPARE(ZDTaskEx::dataFromTask(path, {}), std::nullopt);
            QCOMPARE(ZDTaskEx::stringFromTask(path, {}), QString());
            QCOMPARE(ZDTaskEx::terminationCodeFromTask(path, {}, 5s), -1);
            QCOMPARE(ZDTaskEx::dataFromTask(path, {}, 5s), std::nullopt);
        }
        QVERIFY(ZDTaskEx::isRunnable(inner));
        QVERIFY(logText().contains(QStringLiteral("Error: %1 is not executable").arg(bundle)));
    }

    void capturesOutputByTheRules()
    {
        const QString errOnly = script(QStringLiteral("err-only"), "echo \"$1\" >&2");
        QCOMPARE(ZDTaskEx::dataFromTask(errOnly, {QStringLiteral("on error")}), QByteArray("on error\n"));
        QCOMPARE(ZDTaskEx::stringFromTask(errOnly, {QStringLiteral("on error")}), QStringLiteral("on error\n"));

        const QString both = script(QStringLiteral("both"), "echo out; echo err >&2");
        QCOMPARE(ZDTaskEx::dataFromTask(both, {}), QByteArray("out\n"));
        // Without logOutput standard output is not captured, so the errors come back.
        QCOMPARE(ZDTaskEx::dataFromTask(both, {}, nullptr, std::nullopt, false), QByteArray("err\n"));

        const QString silent = script(QStringLiteral("silent"), "exit 0");
        const auto nothing = ZDTaskEx::dataFromTask(silent, {});
        QVERIFY(nothing.has_value());
        QVERIFY(nothing->isEmpty());
        QCOMPARE(ZDTaskEx::stringFromTask(silent, {}), QString());
        QVERIFY(!ZDTaskEx::stringFromTask(silent, {}).isNull());

        const QString accented = script(QStringLiteral("accented"), "printf 'caf\\303\\251'");
        QCOMPARE(ZDTaskEx::stringFromTask(accented, {}, ZDStringEncoding::Utf8), QStringLiteral(u"caf\u00e9"));
        QCOMPARE(ZDTaskEx::stringFromTask(accented, {}, ZDStringEncoding::Latin1),
                 QStringLiteral(u"caf\u00c3\u00a9"));
        QCOMPARE(ZDTaskEx::stringFromTask(accented, {}), QStringLiteral(u"caf\ufffd\ufffd"));
    }

    void passesArgumentsAndReportsExitStatus()
    {
        const QString exiter = script(QStringLiteral("exiter"), "exit \"$1\"");
        QCOMPARE(ZDTaskEx::terminationCodeFromTask(exiter, {QStringLiteral("7")}), 7);
        QCOMPARE(ZDTaskEx::terminationCodeFromTask(exiter, {QStringLiteral("0")}), 0);
        QVERIFY(ZDTaskEx::runTask(exiter, {QStringLiteral("3")}));

        const QString echo = script(QStringLiteral("args"), "printf '[%s]' \"$@\"");
        QCOMPARE(ZDTaskEx::dataFromTask(echo, {QStringLiteral("a b"), QString(), QStringLiteral("$HOME")}),
                 QByteArray("[a b][][$HOME]"));
    }

    void replacesEnvironmentOnlyWhenGiven()
    {
        const QString env = QStringLiteral("/usr/bin/env");
        const ZDTaskEx::Environment only{{QStringLiteral("ZD_ONLY"), QStringLiteral("one")},
                                         {QStringLiteral("ZD_TWO"), QStringLiteral("a=b")}};
        QCOMPARE(ZDTaskEx::dataFromTask(env, {}, nullptr, only), QByteArray("ZD_ONLY=one\nZD_TWO=a=b\n"));

        const QByteArray inherited = ZDTaskEx::dataFromTask(env, {}).value_or(QByteArray());
        QVERIFY(inherited.contains("HOME=" + m_sandbox->home().toUtf8() + '\n'));
    }

    void childNeverSeesCallersInputOrDescriptors()
    {
        // Make our own standard input a pipe with data waiting, as a shell would.
        int input[2];
        QCOMPARE(::pipe(input), 0);
        QCOMPARE(::write(input[1], "secret\n", 7), ssize_t(7));
        const int savedInput = ::dup(STDIN_FILENO);
        ::dup2(input[0], STDIN_FILENO);
        const int stray = ::open("/dev/null", O_RDONLY); // no O_CLOEXEC on purpose

        const QString reader =
            script(QStringLiteral("reader"), "if read line; then echo \"read $line\"; else echo eof; fi");
        const QByteArray readerOutput = ZDTaskEx::dataFromTask(reader, {}).value_or("failed");
        const QString helpers = qEnvironmentVariable(
            "KESTRA_TEST_HELPERS", QCoreApplication::applicationDirPath() + QStringLiteral("/../helpers"));
        const QString fds = ZDTaskEx::stringFromTask(helpers + QStringLiteral("/zdtaskex_fds"), {});

        ::dup2(savedInput, STDIN_FILENO);
        for (const int fd : {savedInput, input[0], input[1], stray})
            ::close(fd);

        QCOMPARE(readerOutput, QByteArray("eof\n"));
        QCOMPARE(fds, QStringLiteral("0 1 2\n"));
    }

    void callerStopsRunThroughItsHandle()
    {
        const QString slow = script(QStringLiteral("slow"),
                                    "echo started; i=0; while [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done; "
                                    "echo done");
        ZDTaskHandle handle;
        QVERIFY(!handle.terminate());
        std::optional<QByteArray> result;
        std::thread worker([&] { result = ZDTaskEx::dataFromTask(slow, {}, &handle); });
        QTRY_VERIFY(handle.isSet());
        QVERIFY(handle.pid() > 0);
        QCOMPARE(handle.path(), slow);
        QVERIFY(handle.terminate());
        worker.join();

        QVERIFY(result.has_value());
        QVERIFY(!result->contains("done"));
        QVERIFY(!handle.isSet());
        QVERIFY(!handle.terminate());
    }

    void timedRunIsCutAtItsTimeout()
    {
        // A tick every half second: tick5 would come at 2.5 s, past the time-out.
        const QString ticker = script(QStringLiteral("ticker"),
                                      "i=1; while [ $i -le 12 ]; do sleep 0.5; echo tick$i; i=$((i+1)); done; "
                                      "echo done");
        const QByteArray ticks = ZDTaskEx::dataFromTask(ticker, {}, 2s).value_or(QByteArray());
        QVERIFY2(ticks.contains("tick1"), ticks.constData());
        QVERIFY2(!ticks.contains("tick5"), ticks.constData());
        QVERIFY(!ticks.contains("done"));
        QVERIFY(logText().contains(QStringLiteral("Task %1 timed out. Terminating...").arg(ticker)));

        const QString sleeper = script(QStringLiteral("sleeper"), "exec sleep 30");
        QCOMPARE(ZDTaskEx::terminationCodeFromTask(sleeper, {}, 1s), 15); // ended by SIGTERM
        QVERIFY(ZDTaskEx::runTask(sleeper, {}, 1s));
        QCOMPARE(ZDTaskEx::terminationCodeFromTask(sleeper, {}, 0s), 15); // no time at all, not "no time-out"
    }

    void childFinishingFirstIsLeftAlone()
    {
        const QString quick = script(QStringLiteral("quick"), "echo finished; exit 3");
        ZDTaskEx runner;
        QCOMPARE(runner.terminationCodeFromTaskWithTimeout(quick, {}, 1s), 3);
        QVERIFY(!runner.theTask().isSet());

        // A timer left over from the first run would cut this one at the first run's second.
        const QString later = script(QStringLiteral("later"), "sleep 1.5; echo survived");
        QCOMPARE(runner.stringFromTaskWithTimeout(later, {}, ZDStringEncoding::Ascii, 30s),
                 QStringLiteral("survived\n"));
        QCOMPARE(ZDTaskEx::stringFromTask(quick, {}, 30s), QStringLiteral("finished\n"));
        QVERIFY(!logText().contains(QStringLiteral("Task %1 timed out").arg(quick)));
        QVERIFY(!logText().contains(QStringLiteral("Task %1 timed out").arg(later)));
    }

    void childIgnoringTerminateIsStillReaped()
    {
        const QString stubborn = script(QStringLiteral("stubborn"), "trap '' TERM; sleep 1.5; echo survived");
        QCOMPARE(ZDTaskEx::dataFromTask(stubborn, {}, 1s), QByteArray("survived\n"));
        // One that would outlast any patience is killed in the end instead of holding its caller.
        const QString deaf = script(QStringLiteral("deaf"), "trap '' TERM; exec sleep 600");
        QCOMPARE(ZDTaskEx::terminationCodeFromTask(deaf, {}, 1s), 9);
        QVERIFY(logText().contains(QStringLiteral("Task %1 ignored the terminate signal. Killing...").arg(deaf)));

        const QString streamer =
            script(QStringLiteral("stubborn-stream"), "trap '' TERM; echo start; sleep 1; echo more; sleep 1");
        Recorder recorder;
        {
            ZDTaskEx runner;
            runner.asyncDataFromTask(streamer, {}, recorder.delegate());
            QVERIFY(recorder.firstChunk.tryAcquire(1, 20000));
            runner.terminateAsyncTask();
        }

        const QString marker = m_sandbox->path(QStringLiteral("returned"));
        const QString background = script(QStringLiteral("background"), "sleep 0.3; touch \"$1\"");
        ZDTaskEx::runTaskAndReturn(background, {marker});
        QTRY_VERIFY(QFile::exists(marker));
        QTRY_COMPARE_WITH_TIMEOUT(zombieChildren(), 0, 10000);
    }

    void streamsChunksThenOneEmptyChunk()
    {
        const QString chunky =
            script(QStringLiteral("chunky"), "for i in 1 2 3; do echo chunk$i; sleep 0.3; done; echo gone >&2");
        Recorder recorder;
        ZDTaskEx runner;
        runner.asyncDataFromTask(chunky, {}, recorder.delegate(), QStringLiteral("tag"));
        runner.waitForAsyncTask();

        const QList<QByteArray> chunks = recorder.received();
        QVERIFY(chunks.size() >= 3);
        QVERIFY(chunks.last().isEmpty());
        QCOMPARE(chunks.count(QByteArray()), 1);
        QCOMPARE(chunks.join(), QByteArray("chunk1\nchunk2\nchunk3\n"));
        QCOMPARE(recorder.objects, QList<QVariant>(chunks.size(), QStringLiteral("tag")));
        QCOMPARE(recorder.runners, QList<ZDTaskEx *>(chunks.size(), &runner));
        QVERIFY(!runner.theTask().isSet());

        // A stream that cannot start calls nobody.
        Recorder none;
        runner.asyncDataFromTask(m_sandbox->path(QStringLiteral("missing")), {}, none.delegate());
        runner.waitForAsyncTask();
        runner.asyncDataFromTask(m_sandbox->path(QStringLiteral("Tool.app")), {}, none.delegate());
        runner.waitForAsyncTask();
        QVERIFY(none.received().isEmpty());
        QVERIFY(logText().contains(
            QStringLiteral("Unable to launch async task - task does not exist or is not executable")));
    }

    void destroyingRunnerMidStreamStopsChild()
    {
        const QString endless = script(QStringLiteral("endless"), "while :; do echo line; sleep 0.2; done");
        Recorder recorder;
        auto runner = std::make_unique<ZDTaskEx>();
        runner->asyncDataFromTask(endless, {}, recorder.delegate());
        QVERIFY(recorder.firstChunk.tryAcquire(1, 20000));
        const pid_t pid = runner->theTask().pid();
        QVERIFY(pid > 0);
        runner.reset();

        const qsizetype seen = recorder.received().size();
        QVERIFY(!recorder.received().contains(QByteArray())); // cut off, not at its end
        QTRY_VERIFY(!processExists(pid));
        QCOMPARE(recorder.received().size(), seen);
    }

    void largeOutputOnBothPipesDoesNotDeadlock()
    {
        // Standard error first and well beyond a pipe's buffer, while nobody waits on standard output.
        const QString flood = script(QStringLiteral("flood"),
                                     "head -c 6291456 /dev/zero | tr '\\0' e >&2; "
                                     "head -c 4194304 /dev/zero | tr '\\0' o");
        const QByteArray out = ZDTaskEx::dataFromTask(flood, {}).value_or(QByteArray());
        QCOMPARE(out.size(), qsizetype(4194304));
        QCOMPARE(out.count('o'), qsizetype(4194304));
    }
};

QTEST_GUILESS_MAIN(TestZDTaskEx)
#include "tst_zdtaskex.moc"
