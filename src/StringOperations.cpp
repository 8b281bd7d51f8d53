#include "StringOperations.h"
