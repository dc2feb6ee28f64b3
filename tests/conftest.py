import os
import sys
import sysconfig

import pytest

# The OCR wrapper and other tools are looked up on PATH; make the
# environment's own scripts visible whatever shell started the tests.
_bin = os.path.dirname(sys.executable)
if _bin not in os.environ.get("PATH", "").split(os.pathsep):
    os.environ["PATH"] = _bin + os.pathsep + os.environ.get("PATH", "")

EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")


def nltk_data_available(*resources) -> bool:
    import nltk

    try:
        for resource in resources:
            nltk.data.find(resource)
    except LookupError:
        return False
    return True


needs_nltk_data = pytest.mark.skipif(
    not nltk_data_available("tokenizers/punkt_tab/english/", "corpora/stopwords"),
    reason="NLTK data not installed: run scripts/setup.sh",
)
# The RSLP rules are carried by no registry package; only the Portuguese
# lemmatiser needs them.
needs_rslp_rules = pytest.mark.skipif(
    not nltk_data_available("stemmers/rslp"),
    reason="NLTK's RSLP stemmer rules are not installed (no registry package carries them)",
)
