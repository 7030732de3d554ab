#include "data_file.h"
