#include "cdebug.h"

CDEBUG Debug("Quillon");
