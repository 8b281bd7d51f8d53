#include "FileAPI.h"
