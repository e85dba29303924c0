#!/bin/sh
# Runs a test program on an X server of its own (Xvfb) with Qt's xcb platform: for the tests
# that talk to other X clients, which the offscreen platform has none of. The search for a
# free display starts at one of its own, so that servers started at once rarely meet.
exec xvfb-run -a -n $((100 + $$ % 900)) -s "-screen 0 1280x1024x24 -nolisten tcp" \
    env QT_QPA_PLATFORM=xcb "$@"
