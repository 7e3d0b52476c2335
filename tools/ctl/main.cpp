// quorlex-ctl: checks the arguments, then runs the command as a coroutine on the
// application's event loop and leaves with its exit code.
#include "tools/ctl/ctl_app.h"

#include <QCoreApplication>
#include <QTimer>

namespace {

QCoro::Task<void> launch(qlx::ctl::Options options, qlx::ctl::Output out)
{
    const int code = co_await qlx::ctl::run(std::move(options), std::move(out));
    QCoreApplication::exit(code);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qlx::ctl::Output out = qlx::ctl::standard_output();

    qlx::ctl::Options options;
    try {
        options = qlx::ctl::parse_arguments(QCoreApplication::arguments().mid(1));
    } catch (const qlx::ctl::UsageError &e) {
        out.error(QStringLiteral("quorlex-ctl: ") + e.message());
        return qlx::ctl::kExitUsage;
    }
    if (options.command == qlx::ctl::Command::Help) {
        out.line(qlx::ctl::usage_text());
        return qlx::ctl::kExitOk;
    }

    QTimer::singleShot(0, &app, [&options, &out] { launch(options, out); });
    return app.exec();
}
