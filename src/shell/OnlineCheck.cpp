#include "shell/OnlineCheck.h"

#include "core/Ui.h"

void CheckOnline(MessageBoxes&) {}
