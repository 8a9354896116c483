#include "Catalog.h"
#include "Commands.h"

#include <QUuid>
#include <algorithm>

using namespace RPX::SQL;

namespace rpxrepo {

namespace {

bool readPlanAndLimit(const Context& context, const QCommandLineParser& parser, QUuid& plan, int& limit, int& status)
{
    if (parser.isSet(QStringLiteral("plan"))) {
        plan = QUuid::fromString(parser.value(QStringLiteral("plan")));
        if (plan.isNull()) {
            status = context.fail(QStringLiteral("--plan needs a UUID"), Usage);
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("limit"))) {
        bool ok = false;
        limit = parser.value(QStringLiteral("limit")).toInt(&ok);
        if (!ok || limit <= 0) {
            status = context.fail(QStringLiteral("--limit needs a positive number"), Usage);
            return false;
        }
    }
    return true;
}

const char* resultText(int result)
{
    switch (result) {
    case RPX::Info::Plan::PlanResult::Success: return "success";
    case RPX::Info::Plan::PlanResult::Warning: return "warning";
    case RPX::Info::Plan::PlanResult::Running: return "running";
    case RPX::Info::Plan::PlanResult::Failed: return "failed";
    case RPX::Info::Plan::PlanResult::Interrupted: return "interrupted";
    default: return "unknown";
    }
}

}  // namespace

int runSessions(Context& context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Backup, restore and purge runs, newest first."));
    parser.addOption({QStringLiteral("plan"), QStringLiteral("Only this plan."), QStringLiteral("UUID")});
    parser.addOption({QStringLiteral("limit"), QStringLiteral("At most N runs (default 20)."), QStringLiteral("N")});
    int status = Success;
    if (!context.parse(parser, status))
        return status;
    QUuid plan;
    int limit = 20;
    if (!readPlanAndLimit(context, parser, plan, limit, status))
        return status;
    if (!openRepository(context))
        return Failure;
    DatabaseConnection connection(DatabasePool::defaultPool());

    QList<QSharedPointer<SessionHistory>> runs;
    if (plan.isNull()) {
        runs = SessionHistory::selectLast(quint64(limit), 0, connection);
        std::reverse(runs.begin(), runs.end());
    } else {
        runs = SessionHistory::select(plan, QDateTime(), QDateTime(), 0, limit, connection);
    }

    QJsonArray array;
    QStringList lines;
    for (const auto& run : runs) {
        array.append(QJsonObject{{QStringLiteral("id"), QString::number(run->id())},
                                 {QStringLiteral("plan"), run->palnId().toString(QUuid::WithoutBraces)},
                                 {QStringLiteral("destination"), QString::number(run->destinationId())},
                                 {QStringLiteral("started"), showTime(run->dateStart())},
                                 {QStringLiteral("seconds"), qint64(run->duration())},
                                 {QStringLiteral("result"), QLatin1String(resultText(run->result().value()))},
                                 {QStringLiteral("scanned"), qint64(run->scannedCount())},
                                 {QStringLiteral("written"), qint64(run->uploadedCount())},
                                 {QStringLiteral("bytesWritten"), qint64(run->uploadedSize())},
                                 {QStringLiteral("failed"), qint64(run->failedCount())}});
        lines << QStringLiteral("%1  %2  %3  %4 s  scanned %5, wrote %6 (%7 bytes), %8 failed")
                     .arg(run->id(), 6)
                     .arg(showTime(run->dateStart()))
                     .arg(QLatin1String(resultText(run->result().value())), -8)
                     .arg(run->duration())
                     .arg(run->scannedCount())
                     .arg(run->uploadedCount())
                     .arg(run->uploadedSize())
                     .arg(run->failedCount());
    }
    context.result(QJsonObject{{QStringLiteral("sessions"), array}}, lines.join(QLatin1Char('\n')));
    return Success;
}

int runHistory(Context& context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("File operations of named plans, newest first."));
    parser.addOption({QStringLiteral("plan"), QStringLiteral("Only this plan."), QStringLiteral("UUID")});
    parser.addOption({QStringLiteral("failed"), QStringLiteral("Only failed operations.")});
    parser.addOption({QStringLiteral("filter"), QStringLiteral("Local paths containing TEXT (any letter case)."),
                      QStringLiteral("TEXT")});
    parser.addOption({QStringLiteral("limit"), QStringLiteral("At most N operations (default 20)."), QStringLiteral("N")});
    int status = Success;
    if (!context.parse(parser, status))
        return status;
    QUuid plan;
    int limit = 20;
    if (!readPlanAndLimit(context, parser, plan, limit, status))
        return status;
    if (!openRepository(context))
        return Failure;
    DatabaseConnection connection(DatabasePool::defaultPool());

    const int operation = parser.isSet(QStringLiteral("failed")) ? int(RPX::Info::History::OperationType::Failed)
                                                                   : int(RPX::Info::History::OperationType::Any);
    const auto rows = History::select(plan, QDateTime(), QDateTime(), 0, operation,
                                      parser.value(QStringLiteral("filter")), limit, connection);
    QJsonArray array;
    QStringList lines;
    for (const auto& row : rows) {
        array.append(QJsonObject{{QStringLiteral("finished"), showTime(row->dateFinished())},
                                 {QStringLiteral("plan"), row->planName()},
                                 {QStringLiteral("operation"), int(row->operationType())},
                                 {QStringLiteral("path"), row->localPath()},
                                 {QStringLiteral("size"), qint64(row->size())},
                                 {QStringLiteral("message"), row->message()}});
        lines << QStringLiteral("%1  %2  %3  %4").arg(showTime(row->dateFinished()), row->planName(), row->localPath(),
                                                       row->message());
    }
    context.result(QJsonObject{{QStringLiteral("operations"), array}}, lines.join(QLatin1Char('\n')));
    return Success;
}

}  // namespace rpxrepo
