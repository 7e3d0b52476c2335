// The history export without a window: `quorlex-station --export` on a machine
// without a display writes both files and exits 0, or says what failed and exits
// non-zero (2 for a mistyped command), and never replaces an existing file.
#include "storage/unit_files.h"

#include "tests/fixtures/history_fixture.h"

#include <QProcess>

using namespace qlx;
using namespace qlx::testing;

namespace {

struct Run {
    int status = -1;
    QString errors;
};

// Runs the station with no display at all: the xcb plugin would abort if touched.
Run station(const QStringList &arguments)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(QLX_STATION_PATH), arguments);
    if (!p.waitForFinished(300000) || p.exitStatus() != QProcess::NormalExit)
        return {};
    return {p.exitCode(), QString::fromLocal8Bit(p.readAllStandardError())};
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestHistoryExportCli : public QObject {
    Q_OBJECT

private slots:
    void exportsThePeriod();
    void refuses_data();
    void refuses();
};

void TestHistoryExportCli::exportsThePeriod()
{
    HistoryFixture db(QStringLiteral("sqlite"));
    QVERIFY(db.ok());
    QVERIFY(db.poll(5, at("01.03.2026 10:00:00"), 0, 2));
    QVERIFY(db.poll(5, at("01.03.2026 10:00:07"), 10, 1));
    QVERIFY(db.poll(6, at("01.03.2026 10:00:08"), 20, 1));
    QTemporaryDir out;
    const QString file = out.filePath(QStringLiteral("сутки.txt"));
    const QStringList args{"--home", db.root(), "--export", file, "--from", "01.03.2026 10:00:00",
                           "--to", "01.03.2026 10:00:07"};
    const Run run = station(args);
    QCOMPARE(run.errors, QString());
    QCOMPARE(run.status, 0);
    QCOMPARE(fileBytes(file), to_cp1251(QStringLiteral("Дата/Время   Узел   Канал   Нижний уровень   Измерение   Верхний уровень\r\n\r\n"
                                                       "01.03.2026 10:00:07   5   1   -1,5   11,1   100,25\r\n"
                                                       "01.03.2026 10:00:00   5   1   -1,5   1,1   100,25\r\n"
                                                       "01.03.2026 10:00:00   5   2   -1,5   2   100,25\r\n")));
    QVERIFY(fileBytes(out.filePath(QStringLiteral("сутки2.txt"))).endsWith(
        to_cp1251(QStringLiteral("\r\n01.03.2026 10:00:00   5   1,1   2") + QString(30, u' ') + QStringLiteral("\r\n"))));

    // Run again: the files are there and stay as they are.
    const QByteArray before = fileBytes(file);
    const Run again = station(args);
    QCOMPARE(again.status, 1);
    QVERIFY2(again.errors.contains(file), qPrintable(again.errors));
    QCOMPARE(fileBytes(file), before);
}

void TestHistoryExportCli::refuses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");
    const QString from = QStringLiteral("01.03.2026 10:00:00");
    QTest::newRow("help") << QStringList{"--help"} << 0 << QString();
    QTest::newRow("unknown option") << QStringList{"--exprot", "x.txt"} << 2 << "unknown option --exprot";
    QTest::newRow("no value") << QStringList{"--export"} << 2 << "--export needs a value";
    QTest::newRow("no end") << QStringList{"--export", "x.txt", "--from", from} << 2 << "--from and --to";
    QTest::newRow("mistyped time") << QStringList{"--export", "x.txt", "--from", from, "--to", "2026-03-01 10:00"}
                                   << 2 << "--from and --to";
    QTest::newRow("unknown format") << QStringList{"--export", "x.pdf", "--from", from, "--to", from} << 2 << ".htm, .xls or .txt";
    QTest::newRow("no database") << QStringList{"--export", "x.txt", "--from", from, "--to", from} << 1
                                 << "Запись в базу данных невозможна";
}

void TestHistoryExportCli::refuses()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, says);
    QTemporaryDir home; // no bd/ in it
    QDir::setCurrent(home.path());
    const Run run = station(QStringList{"--home", home.path()} + arguments);
    QCOMPARE(run.status, status);
    QVERIFY2(run.errors.contains(says), qPrintable(run.errors));
    QVERIFY(!QFileInfo::exists(home.filePath(QStringLiteral("x.txt"))));
}

QTEST_GUILESS_MAIN(TestHistoryExportCli)
#include "test_history_export_cli.moc"
