#include "update/update_prompt.h"

void ShowUpdatePrompt() {}
