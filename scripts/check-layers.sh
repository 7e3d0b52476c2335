#!/usr/bin/env bash
# Fails when a source file reaches up the layers: a folder includes a header of
# a folder above it, or a layer below the windows includes a Qt Widgets, Gui,
# PrintSupport or Charts header. The layers, lowest first:
#   base -> line -> storage -> engine -> widgets -> windows -> app
# The line simulator (tools/sim) may include only the codec of base; the other
# tools and the tests may include any layer.
#   scripts/check-layers.sh [ROOT]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

# Class headers of Qt's window-system modules (<QWidget>, <QPainter>, ...).
gui_headers=$(
    for dir in /usr/include/*/qt6 /usr/include/qt6; do
        for m in QtGui QtWidgets QtPrintSupport QtCharts QtOpenGL QtOpenGLWidgets; do
            if [ -d "$dir/$m" ]; then ls "$dir/$m"; fi
        done
    done 2>/dev/null | grep -E '^Q[A-Za-z0-9]+$' | sort -u | tr '\n' ' '
)

git ls-files --cached --others --exclude-standard -- '*.h' '*.cpp' |
    xargs grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]' |
    awk -v gui="$gui_headers" '
    BEGIN {
        n = split("base line storage engine widgets windows app", names, " ")
        for (i = 1; i <= n; ++i) rank[names[i]] = i
        split(gui, list, " ")
        for (i in list) guiHeader[list[i]] = 1
        windowsFree = rank["widgets"] # layers ranked below this know no window system
        bad = 0
    }
    {
        file = $0; sub(/:.*/, "", file)
        rest = substr($0, length(file) + 2)
        line = rest; sub(/:.*/, "", line)
        quoted = rest ~ /include[[:space:]]*"/
        target = rest; sub(/^[^<"]*[<"]/, "", target); sub(/[>"].*/, "", target)
        folder = file; sub(/\/.*/, "", folder)
        own = (folder in rank) ? rank[folder] : 0
        where = file ":" line " includes " target
        if (quoted && target ~ /\//) {
            top = target; sub(/\/.*/, "", top)
            if (file ~ /^tools\/sim\//) {
                if (target != "base/unit_crc.h" && target !~ /^tools\/sim\//)
                    { print "layer violation: " where " (the simulator takes only the codec)"; ++bad }
            } else if (own && (top in rank) && rank[top] > own) {
                print "layer violation: " where " (" folder " is below " top ")"; ++bad
            }
        }
        if (own && own < windowsFree && (target in guiHeader || target ~ /^Qt(Gui|Widgets|PrintSupport|Charts|OpenGL)/))
            { print "layer violation: " where " (no window-system header below the windows)"; ++bad }
    }
    END {
        if (bad) { print bad " include(s) reach up the layers"; exit 1 }
        print "layers: every include goes down"
    }'
