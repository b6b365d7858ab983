#include "tests/kernel/fixture.h"
