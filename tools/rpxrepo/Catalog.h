#pragma once

#include "Cli.h"

#include <rpxRepository/rpxRepository.h>

#include <functional>

// What several commands need from the catalog: finding a destination, walking its files,
// locating stored objects and reading times.
namespace rpxrepo {

using RPX::SQL::CloudFile;
using RPX::SQL::CloudFolder;
using RPX::SQL::CloudFileVersion;
using RPX::SQL::DatabaseConnection;
using RPX::SQL::Destination;

// A destination given as its id or as the folder backed up to; null (with a line on stderr) when
// there is none or the folder is ambiguous.
QSharedPointer<Destination> findDestination(const Context& context, const QString& text, DatabaseConnection& connection);

// The account settings of a file-system destination.
QJsonObject fileSystemAccount(const QString& folder, const QString& prefix);

// The absolute path of a stored object of a file-system destination.
QString storedObjectPath(const Destination& destination, const QByteArray& cloudPath);

// Calls `visit` for every file registered under a cloud folder, depth first, pages of files at a time.
// Returns false when `visit` asks to stop.
bool walkFiles(unsigned long long folderId, DatabaseConnection& connection,
               const std::function<bool(const QSharedPointer<CloudFile>&)>& visit);

// The files of a destination below (or equal to) a local path: one file, or a folder's whole subtree.
QList<QSharedPointer<CloudFile>> filesUnder(const Destination& destination, const QString& localPath,
                                            DatabaseConnection& connection);

// An ISO 8601 time (UTC unless it carries an offset), or a 14-digit catalog time; invalid when neither.
QDateTime parseTime(const QString& text);
QString showTime(const QDateTime& time);

// A local path as the catalog keeps it: absolute, clean, "/" separated.
QString localPathOf(const QString& path);

// A file's modification time as the catalog stores it: UTC, whole seconds.
QDateTime catalogTime(const QDateTime& time);

}  // namespace rpxrepo
