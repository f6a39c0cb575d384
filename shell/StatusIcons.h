#pragma once
// The two 16-pixel client icons of the activity list, drawn rather than shipped.

#include <QIcon>

QIcon PlainClientIcon();   // a screen
QIcon SecureClientIcon();  // a screen with a padlock
QIcon ApplicationIcon();   // the window's and the notification area's icon
