#include "BrivantaFwUpgrade.h"

int main() {
    platform_InitConsole();
    return BrivantaFwWebPackage_main();
}
