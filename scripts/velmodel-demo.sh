#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds velmodel and runs it with its defaults into model/ in the checkout.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
kov_install_deps
cmake --preset default </dev/null >/dev/null
cmake --build --preset default -j 2 --target velmodel kovinfo kovpng kovview </dev/null >/dev/null
mkdir -p model
# Run inside model/: the data file is named after the header found in the
# current directory.
(cd model && ../build/default/app/velmodel datapath="$PWD/" </dev/null >vel.H 2>velmodel.log)
tail -n 1 model/velmodel.log
cat <<MSG

velmodel wrote a 500 x 3000 model (depth samples x traces):
  header: $PWD/model/vel.H
  data:   $PWD/model/vel.H@   ($(stat -c %s model/vel.H@) bytes, big-endian 32-bit floats)

Describe it:           build/default/app/kovinfo model/vel.H
Draw it:               build/default/app/kovpng stdin=model/vel.H out=model/vel.png
Look at it in a page:  build/default/app/kovview model/vel.H
The history:           cat model/vel.H
MSG
