#!/usr/bin/env bash
# Runs a built Windows program under Wine: in $WINEPREFIX, or in the unit
# prefix of $VANTREL_BUILD_DIR (made by tools/make-prefix.sh). Never touches
# ~/.wine. The environment and the loader come from tests/e2e/winectl.py.
exec /usr/bin/python3 "$(dirname "$0")/../tests/e2e/winectl.py" run "$@"
