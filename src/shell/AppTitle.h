#pragma once

#include <QString>

// The title that message boxes without a title of their own show. It is the product name until
// the start-up sets it.
QString applicationTitle();
void setApplicationTitle(const QString& title);

// The title rule: drop the last word, then keep dropping words until at most 40 characters remain.
// A name without a blank has no word to drop and stays whole (cut to 40 characters if longer).
QString AppTitleFor(const QString& productName);
