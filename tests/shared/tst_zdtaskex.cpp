#include "ZDLog.h"
#include "ZDTaskEx.h"
#include "ZDTestSandbox.h"
#include <QtTest>
#include <fcntl.h>
#include <unistd.h>
#include <memory>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

// Children of this process that have ended but were never reaped.
int zombieChildren()
{
    int count = 0;
    const QString self = QString::number(::getpid());
    for (const QString &entry : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
        const QByteArray stat = ZDTestSandbox::readFile(u"/proc/%1/stat"_s.arg(entry));
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
    return QFile::exists(u"/proc/%1"_s.arg(pid));
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
        const QString path = m_sandbox->path(u"bin/"_s + name);
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
        ZDLog::createNewLog(u"tst_zdtaskex"_s);
    }
    void refusesWhatIsNotRunnable()
    {
        const QString bundle = m_sandbox->path(u"Tool.app"_s);
        const QString inner = bundle + u"/Contents/MacOS/Tool"_s;
        QVERIFY(ZDTestSandbox::writeFile(inner, "#!/bin/sh\necho ran\n"));
        QFile::setPermissions(inner, QFile::ReadOwner | QFile::ExeOwner);
        QVERIFY(QFileInfo(bundle).isExecutable());
        const QString plain = m_sandbox->path(u"bin/plain"_s);
        QVERIFY(ZDTestSandbox::writeFile(plain, "#!/bin/sh\necho ran\n"));
        for (const QString &path : {bundle, plain, m_sandbox->path(u"missing"_s), QString()}) {
            QVERIFY2(!ZDTaskEx::isRunnable(path), qPrintable(path));
            QVERIFY(!ZDTaskEx::runTask(path, {}));
            QCOMPARE(ZDTaskEx::terminationCodeFromTask(path, {}), -1);
            QCOMPARE(ZDTaskEx::dataFromTask(path, {}), std::nullopt);
            QCOMPARE(ZDTaskEx::stringFromTask(path, {}), QString());
            QCOMPARE(ZDTaskEx::terminationCodeFromTask(path, {}, 5s), -1);
            QCOMPARE(ZDTaskEx::dataFromTask(path, {}, 5s), std::nullopt);
        }
        QVERIFY(ZDTaskEx::isRunnable(inner));
        QVERIFY(logText().contains(u"Error: %1 is not executable"_s.arg(bundle)));
    }
    void outputStatusArgumentsAndEnvironment()
    {
        const QString errOnly = script(u"err-only"_s, "echo \"$1\" >&2");
        QCOMPARE(ZDTaskEx::dataFromTask(errOnly, {u"on error"_s}), QByteArray("on error\n"));
        QCOMPARE(ZDTaskEx::stringFromTask(errOnly, {u"on error"_s}), u"on error\n"_s);
        const QString both = script(u"both"_s, "echo out; echo err >&2");
        QCOMPARE(ZDTaskEx::dataFromTask(both, {}), QByteArray("out\n"));
        // Without logOutput standard output is not captured, so the errors come back.
        QCOMPARE(ZDTaskEx::dataFromTask(both, {}, nullptr, std::nullopt, false), QByteArray("err\n"));
        const QString silent = script(u"silent"_s, "exit 0");
        QCOMPARE(ZDTaskEx::dataFromTask(silent, {}), std::optional<QByteArray>(QByteArray()));
        QVERIFY(!ZDTaskEx::stringFromTask(silent, {}).isNull()); // "", not nothing
        const QString accented = script(u"accented"_s, "printf 'caf\\303\\251'");
        QCOMPARE(ZDTaskEx::stringFromTask(accented, {}, ZDStringEncoding::Utf8), QStringLiteral(u"caf\u00e9"));
        QCOMPARE(ZDTaskEx::stringFromTask(accented, {}, ZDStringEncoding::Latin1), QStringLiteral(u"caf\u00c3\u00a9"));
        QCOMPARE(ZDTaskEx::stringFromTask(accented, {}), QStringLiteral(u"caf\ufffd\ufffd"));
        const QString exiter = script(u"exiter"_s, "exit \"$1\"");
        QCOMPARE(ZDTaskEx::terminationCodeFromTask(exiter, {u"7"_s}), 7);
        QCOMPARE(ZDTaskEx::terminationCodeFromTask(exiter, {u"0"_s}), 0);
        QVERIFY(ZDTaskEx::runTask(exiter, {u"3"_s}));
        const QString echo = script(u"args"_s, "printf '[%s]' \"$@\"");
        QCOMPARE(ZDTaskEx::dataFromTask(echo, {u"a b"_s, QString(), u"$HOME"_s}), QByteArray("[a b][][$HOME]"));
        // The environment is replaced only when one is given.
        const QString env = u"/usr/bin/env"_s;
        const ZDTaskEx::Environment only {{u"ZD_ONLY"_s, u"one"_s}, {u"ZD_TWO"_s, u"a=b"_s}};
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
        const QString reader = script(u"reader"_s, "if read line; then echo \"read $line\"; else echo eof; fi");
        const QByteArray readerOutput = ZDTaskEx::dataFromTask(reader, {}).value_or("failed");
        const QString helpers = qEnvironmentVariable(
            "KESTRA_TEST_HELPERS", QCoreApplication::applicationDirPath() + u"/../helpers"_s);
        const QString fds = ZDTaskEx::stringFromTask(helpers + u"/zdtaskex_fds"_s, {});
        ::dup2(savedInput, STDIN_FILENO);
        for (const int fd : {savedInput, input[0], input[1], stray})
            ::close(fd);
        QCOMPARE(readerOutput, QByteArray("eof\n"));
        QCOMPARE(fds, u"0 1 2\n"_s);
    }
    void callerStopsRunThroughItsHandle()
    {
        const QString slow = script(u"slow"_s,
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
        const QString ticker = script(u"ticker"_s,
                                      "i=1; while [ $i -le 12 ]; do sleep 0.5; echo tick$i; i=$((i+1)); done; "
                                      "echo done");
        const QByteArray ticks = ZDTaskEx::dataFromTask(ticker, {}, 2s).value_or(QByteArray());
        QVERIFY2(ticks.contains("tick1"), ticks.constData());
        QVERIFY2(!ticks.contains("tick5"), ticks.constData());
        QVERIFY(!ticks.contains("done"));
        QVERIFY(logText().contains(u"Task %1 timed out. Terminating..."_s.arg(ticker)));
        const QString sleeper = script(u"sleeper"_s, "exec sleep 30");
        QCOMPARE(ZDTaskEx::terminationCodeFromTask(sleeper, {}, 1s), 15); // ended by SIGTERM
        QVERIFY(ZDTaskEx::runTask(sleeper, {}, 1s));
        QCOMPARE(ZDTaskEx::terminationCodeFromTask(sleeper, {}, 0s), 15); // no time at all, not "no time-out"
    }
    void childFinishingFirstIsLeftAlone()
    {
        const QString quick = script(u"quick"_s, "echo finished; exit 3");
        ZDTaskEx runner;
        QCOMPARE(runner.terminationCodeFromTaskWithTimeout(quick, {}, 1s), 3);
        QVERIFY(!runner.theTask().isSet());
        // A timer left over from the first run would cut this one at the first run's second.
        const QString later = script(u"later"_s, "sleep 1.5; echo survived");
        QCOMPARE(runner.stringFromTaskWithTimeout(later, {}, ZDStringEncoding::Ascii, 30s), u"survived\n"_s);
        QCOMPARE(ZDTaskEx::stringFromTask(quick, {}, 30s), u"finished\n"_s);
        QVERIFY(!logText().contains(u"Task %1 timed out"_s.arg(quick)));
        QVERIFY(!logText().contains(u"Task %1 timed out"_s.arg(later)));
    }
    void childIgnoringTerminateIsStillReaped()
    {
        const QString stubborn = script(u"stubborn"_s, "trap '' TERM; sleep 1.5; echo survived");
        QCOMPARE(ZDTaskEx::dataFromTask(stubborn, {}, 1s), QByteArray("survived\n"));
        // One that would outlast any patience is killed in the end instead of holding its caller.
        const QString deaf = script(u"deaf"_s, "trap '' TERM; exec sleep 600");
        QCOMPARE(ZDTaskEx::terminationCodeFromTask(deaf, {}, 1s), 9);
        QVERIFY(logText().contains(u"Task %1 ignored the terminate signal. Killing..."_s.arg(deaf)));
        const QString streamer = script(u"stubborn-stream"_s, "trap '' TERM; echo start; sleep 1; echo more; sleep 1");
        Recorder recorder;
        {
            ZDTaskEx runner;
            runner.asyncDataFromTask(streamer, {}, recorder.delegate());
            QVERIFY(recorder.firstChunk.tryAcquire(1, 20000));
            runner.terminateAsyncTask();
        }
        const QString marker = m_sandbox->path(u"returned"_s);
        const QString background = script(u"background"_s, "sleep 0.3; touch \"$1\"");
        ZDTaskEx::runTaskAndReturn(background, {marker});
        QTRY_VERIFY(QFile::exists(marker));
        QTRY_COMPARE_WITH_TIMEOUT(zombieChildren(), 0, 10000);
    }
    void streamsChunksThenOneEmptyChunk()
    {
        const QString chunky = script(u"chunky"_s, "for i in 1 2 3; do echo chunk$i; sleep 0.3; done; echo gone >&2");
        Recorder recorder;
        ZDTaskEx runner;
        runner.asyncDataFromTask(chunky, {}, recorder.delegate(), u"tag"_s);
        runner.waitForAsyncTask();
        const QList<QByteArray> chunks = recorder.received();
        QVERIFY(chunks.size() >= 3);
        QVERIFY(chunks.last().isEmpty());
        QCOMPARE(chunks.count(QByteArray()), 1);
        QCOMPARE(chunks.join(), QByteArray("chunk1\nchunk2\nchunk3\n"));
        QCOMPARE(recorder.objects, QList<QVariant>(chunks.size(), u"tag"_s));
        QCOMPARE(recorder.runners, QList<ZDTaskEx *>(chunks.size(), &runner));
        QVERIFY(!runner.theTask().isSet());
        // A stream that cannot start calls nobody.
        Recorder none;
        runner.asyncDataFromTask(m_sandbox->path(u"missing"_s), {}, none.delegate());
        runner.waitForAsyncTask();
        runner.asyncDataFromTask(m_sandbox->path(u"Tool.app"_s), {}, none.delegate());
        runner.waitForAsyncTask();
        QVERIFY(none.received().isEmpty());
        QVERIFY(logText().contains(u"Unable to launch async task - task does not exist or is not executable"_s));
    }
    void destroyingRunnerMidStreamStopsChild()
    {
        const QString endless = script(u"endless"_s, "while :; do echo line; sleep 0.2; done");
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
        const QString flood = script(u"flood"_s, "head -c 6291456 /dev/zero | tr '\\0' e >&2; "
                                     "head -c 4194304 /dev/zero | tr '\\0' o");
        const QByteArray out = ZDTaskEx::dataFromTask(flood, {}).value_or(QByteArray());
        QCOMPARE(out.size(), qsizetype(4194304));
        QCOMPARE(out.count('o'), qsizetype(4194304));
    }
};

QTEST_GUILESS_MAIN(TestZDTaskEx)
#include "tst_zdtaskex.moc"
