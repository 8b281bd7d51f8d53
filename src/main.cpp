#include "BrivantaFwUpgrade.h"

int main() { return BrivantaFwUpgrade_main(); }
