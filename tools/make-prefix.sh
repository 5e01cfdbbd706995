#!/usr/bin/env bash
# Makes sure the machine's base Wine prefixes (Windows 7 SP1 and Windows 10
# 1903, trusting the test roots, rendering Chinese text, Wine drawing its own
# window frames) are in the prefix cache, and gives the build folder its unit
# prefix, a copy in WINE_DIR/unit (default BUILD_DIR/wine). See
# tests/e2e/winectl.py.
#   make-prefix.sh BUILD_DIR [WINE_DIR]
exec /usr/bin/python3 "$(dirname "$0")/../tests/e2e/winectl.py" prefixes "${1:?usage: make-prefix.sh BUILD_DIR [WINE_DIR]}" ${2:+"$2"}
