#include "BrivantaFwUpgrade.h"

int main() {
    platform_InitConsole();
    return BrivantaFwUpgrade_main();
}
