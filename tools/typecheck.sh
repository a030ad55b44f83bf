#!/usr/bin/env bash
# Static checks of the typed surface: the stubs against the built module (stubtest, no
# allowlist), then mypy --strict (settings in pyproject.toml) on the reference host's package,
# bench/ and examples/, each on its own so that their script names cannot clash.
#
# Without QSC_BUILD_DIR both checks see the installed package and the stubs installed with it.
# With QSC_BUILD_DIR they see that development build and the stubs of this source tree.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python}

if [ -n "${QSC_BUILD_DIR:-}" ]; then
  # mypy finds stubs on MYPYPATH only under the module's own name.
  stub_root=build/typecheck
  mkdir -p "$stub_root"
  ln -sfn ../../stubs/quarn_sdk_core-stubs "$stub_root/quarn_sdk_core"
  export MYPYPATH="$PWD/$stub_root"
  export PYTHONPATH="$(cd "$QSC_BUILD_DIR" && pwd)${PYTHONPATH:+:$PYTHONPATH}"
fi

"$python" -m mypy.stubtest quarn_sdk_core
# The host package from this source tree, whichever copy of the module is checked.
export MYPYPATH="$PWD/host${MYPYPATH:+:$MYPYPATH}"
for dir in host/quarn_host bench examples; do
  if [ -d "$dir" ]; then
    "$python" -m mypy "$dir"
  fi
done
