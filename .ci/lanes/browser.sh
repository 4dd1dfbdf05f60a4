#!/usr/bin/env bash
# vorn monitor in a real browser: Debian's chromium driven by Playwright
# (whose own browser downloads are not used), with the monitor's extras.
# Here the browser tests must run: a missing piece fails them. The page's
# screenshot is kept in $VORN_CI_WORK/browser/.
source "$(dirname "$0")/common.sh"
ensure_apt chromium || exit 1
mkdir -p "$work/browser"
VORN_EXTRAS=cli,monitor venv_with_package "$work/browser-venv" "$work/build-browser" playwright || exit 1
VORN_BROWSER_TESTS=required "$work/browser-venv/bin/python" -m pytest -q -p no:cacheprovider \
  tests/python/test_monitor.py tests/python/test_monitor_browser.py || exit 1
test -s "$work/browser/monitor.png" || { echo "no screenshot in $work/browser"; exit 1; }
echo "screenshot: $work/browser/monitor.png"
