// Resource identifiers of the executable.
#pragma once

#define IDI_MAINICON 1
