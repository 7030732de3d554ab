#include "info_records.h"
