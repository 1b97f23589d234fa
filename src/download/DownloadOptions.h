#pragma once

#include "net/Retry.h"
#include "net/RunSetup.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// The run's options live with its set-up, where the listing reads them too.
using net::OnExists;
using DownloadOptions = net::RunOptions;

std::optional<OnExists> onExistsFromText(const QString& text);
QLatin1StringView onExistsText(OnExists onExists);

// A rate as curl takes it: bytes per second, or with k, M or G (powers of 1024, either case);
// nullopt when malformed or below one byte per second.
std::optional<qint64> parseRate(const QString& value);

// The timing of retries lives with the transfer loop, which keeps it per host too.
namespace retry = net::retry;
