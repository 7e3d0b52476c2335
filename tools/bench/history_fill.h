// The synthetic history of the benchmarks, and the statements that make it: `rows` rows of Sensors_history made by
// the database itself in one statement, 255 nodes x 12 channels a poll and one
// poll every 10 s back from `now`.
#pragma once

#include "storage/unit_dm.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>

#include <cstdio>

namespace qlx {

inline QString history_fill_sql(bool sqlite, qint64 rows, const QDateTime &now)
{
    const QString ref = history_time_text(now);
    return sqlite
        ? QStringLiteral("insert into Sensors_history (sensor, chanel, nu, vu, izm, rec_time) "
                         "with recursive g(i) as (select 0 union all select i + 1 from g where i + 1 < %1) "
                         "select i % 255 + 1, (i / 255) % 12 + 1, 1.5, 99.5, (i % 1000) / 10.0, "
                         "datetime('%2', '-' || ((i / 3060) * 10) || ' seconds') from g")
              .arg(rows).arg(ref)
        : QStringLiteral("insert into Sensors_history (sensor, chanel, nu, vu, izm, rec_time) "
                         "select i % 255 + 1, (i / 255) % 12 + 1, 1.5, 99.5, (i % 1000) / 10.0, "
                         "timestamp '%2' - ((i / 3060) * 10) * interval '1 second' from generate_series(0, %1 - 1) i")
              .arg(rows).arg(ref);
}

// Runs one statement; a failure is printed on stderr.
inline bool exec(QSqlDatabase &db, const QString &sql)
{
    QSqlQuery q(db);
    if (q.exec(sql))
        return true;
    std::fprintf(stderr, "%s\n", qPrintable(q.lastError().text()));
    return false;
}

} // namespace qlx
