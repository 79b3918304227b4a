// Temporary: replaced by the dialog.
#include "dialog/config_dialog.h"
void RunConfigDialog(CXmlProfile&) noexcept {}
