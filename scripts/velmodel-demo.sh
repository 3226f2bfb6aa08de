#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds velmodel and runs it with its defaults into model/ in the checkout.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
kov_install_deps
cmake --preset default </dev/null >/dev/null
cmake --build --preset default -j 2 --target velmodel </dev/null >/dev/null
mkdir -p model
# Run inside model/: the data file is named after the header found in the
# current directory.
(cd model && ../build/default/app/velmodel datapath="$PWD/" </dev/null >vel.H 2>velmodel.log)
tail -n 1 model/velmodel.log
cat <<MSG

velmodel wrote a 500 x 3000 model (depth samples x traces):
  header: $PWD/model/vel.H
  data:   $PWD/model/vel.H@   ($(stat -c %s model/vel.H@) bytes, big-endian 32-bit floats)

Look at the header:        cat model/vel.H
First trace, 500 samples:  od -A d -t f4 --endian=big -N 2000 -w16 model/vel.H@
MSG
