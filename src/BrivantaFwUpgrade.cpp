#include "BrivantaFwUpgrade.h"

int BrivantaFwUpgrade_main(void) { return 0; }
int BrivantaFwWebPackage_main(void) { return 0; }
