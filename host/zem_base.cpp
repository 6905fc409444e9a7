#include "zem_base.h"
