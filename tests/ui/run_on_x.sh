#!/bin/sh
# Runs a test program on an X server of its own (Xvfb) with Qt's xcb platform: for the tests
# that talk to other X clients, which the offscreen platform has none of.
exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" env QT_QPA_PLATFORM=xcb "$@"
