#include "update/update_check.h"

void RunUpdateCheck() {}
