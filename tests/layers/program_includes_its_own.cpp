// What a program may include: its own folder and the public header.
#include "app/console.h"
#include "qxw/qxw.h"
