#include "BrivantaFwUpgrade.h"

int main() { return BrivantaFwWebPackage_main(); }
