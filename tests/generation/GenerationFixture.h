#pragma once

#include "support/Printers.h"

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/generation/AttachDatabase.h>
#include <rpxRepository/generation/RestorePoints.h>

#include <gtest/gtest.h>
#include <QSharedPointer>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUuid>
#include <QVariant>
#include <type_traits>

namespace gentest {

using RPX::SQL::DatabaseConnection;
using RPX::SQL::DatabasePool;
using RPX::SQL::Generation::AttachDatabase;

// First column of the first row, or an invalid value when the statement fails or returns nothing.
inline QVariant scalar(const DatabaseConnection& connection, const QString& sql)
{
    QSqlQuery query = connection.query();
    return query.exec(sql) && query.next() ? query.value(0) : QVariant();
}

inline bool run(const DatabaseConnection& connection, const QString& sql)
{
    return connection.query().exec(sql);
}

// Values as text (dates with milliseconds), so that a whole row is compared with what was written in one check.
template <class... T>
QStringList texts(const T&... values)
{
    return {QVariant(values).toString()...};
}

// The fields of the row a lookup found, or why it found none.
template <class T>
QStringList found(const QPair<QSharedPointer<T>, int>& result,
                  QStringList (*fields)(const typename std::common_type<T>::type&))
{
    if (result.first.isNull() || result.second != RPX::SQL::Result::Ok)
        return {QStringLiteral("no row, result %1").arg(result.second)};
    return fields(*result.first);
}

inline RPX::SQL::Generation::RestorePoints insertPoint(DatabaseConnection& connection, qint64 sequence,
                                                       const QDateTime& start, const QString& prefix = QString())
{
    RPX::SQL::Generation::RestorePoints point;
    point.setSequenceNumber(sequence);
    point.setStartDate(start);
    EXPECT_EQ(point.insert(prefix, connection), RPX::SQL::Result::Ok) << sequence;
    return point;
}

// A generation database created for the test in a temporary folder.
class GenerationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_attached = AttachDatabase::attach(path(), m_marker);
        ASSERT_FALSE(m_attached.isNull());
    }

    QString path(const QString& name = QStringLiteral("generation.db")) const { return m_dir.filePath(name); }
    QPointer<DatabasePool>& pool() { return m_attached->attachedDatabasePool(); }

    QTemporaryDir m_dir;
    const QUuid m_marker = QUuid::createUuid();
    QSharedPointer<AttachDatabase> m_attached;
};

}  // namespace gentest
