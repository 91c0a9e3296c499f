#include "filter/DriveChange.h"

BOOL UpdateDriveList(LPCWSTR, WCHAR*) { return FALSE; }
