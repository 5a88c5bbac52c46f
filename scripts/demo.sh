#!/usr/bin/env bash
echo "make demo: the command-line update program is not built yet; run 'make test' meanwhile."
exit 1
