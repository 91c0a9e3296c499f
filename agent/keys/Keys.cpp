#include "keys/Keys.h"

BOOL ForcedLogin(Notification*) { return FALSE; }
