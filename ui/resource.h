/* Resource ids of the program. Plain #defines only: windres reads this file too. */
#ifndef VANTA_UI_RESOURCE_H
#define VANTA_UI_RESOURCE_H

#include "support/string_ids.h"

#define IDI_VANTA 101

#endif
