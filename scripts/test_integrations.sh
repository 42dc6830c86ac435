#!/usr/bin/env bash
# The LangChain and LlamaIndex packages (integrations/): a venv in build/integrations with the
# pinned versions they were tested with, both packages installed into it, their suites run
# against the module in build/dev (LangChain's standard vector store suite among them), then the
# two retrieval examples with the fake embedding. Run by scripts/test.sh after the main suite.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
venv=build/integrations
pins=integrations/requirements-test.txt
# Built again only when the pins change.
if ! cmp -s "$pins" "$venv/.pins" 2>/dev/null; then
  rm -rf "$venv"
  "$PY" -m venv "$venv"
  "$venv/bin/pip" install -q -r "$pins"
  cp "$pins" "$venv/.pins"
fi
# korvane is the module just built, not a distribution in the venv: hence --no-deps.
"$venv/bin/pip" install -q --no-deps --no-build-isolation --force-reinstall \
  ./integrations/langchain ./integrations/llama-index
export PYTHONPATH="$PWD/build/dev/src/python"
for pkg in langchain llama-index; do
  # The pytest script, not `python -m pytest`: the working directory stays off sys.path, so the
  # installed package is the one imported.
  "$venv/bin/pytest" -q -p no:cacheprovider -c "integrations/$pkg/pyproject.toml" \
    --rootdir "integrations/$pkg" "integrations/$pkg/tests"
done
# The examples as a user's checker sees them (the packages' own typing is theirs to report).
MYPYPATH="$PWD/build/dev/stubs" "$venv/bin/python" -m mypy --strict --no-incremental \
  --follow-imports=silent examples/rag_langchain.py examples/rag_llamaindex.py
start=$(date +%s)
KORVANE_FAKE_EMBEDDING=1 "$venv/bin/python" examples/rag_langchain.py >/dev/null
KORVANE_FAKE_EMBEDDING=1 "$venv/bin/python" examples/rag_llamaindex.py >/dev/null
echo "examples: rag_langchain.py and rag_llamaindex.py ran in $(($(date +%s) - start)) s"
