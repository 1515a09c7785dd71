import pytest

from velkor.migration import class_foundry
from velkor_utils.classes.version_manager import ClassVersionManager

TEMPLATE_ATTRIBUTES = {
    "layout": "model_class_template_layout",
    "model_class": "model_class_template",
    "dict_validator": "dict_validator_template",
    "options_validator": "options_validator_template",
}


@pytest.fixture(autouse=True)
def clean_versions():
    ClassVersionManager().reset()
    yield
    ClassVersionManager().reset()


@pytest.fixture
def registry():
    return class_foundry.DefaultMigrationSchemas()


@pytest.fixture
def use_templates(tmp_path):
    """Points a registry at small templates of the test's own (instance
    attributes shadow the class's paths); a text of None names a missing file."""

    def use(registry, **texts):
        for key, text in texts.items():
            path = tmp_path / ("missing" if text is None else "") / f"{key}.tmpl"
            if text is not None:
                path.write_text(text)
            setattr(registry, TEMPLATE_ATTRIBUTES[key], path)
        return registry

    return use


class Recorder:
    """A callable that records its calls and answers from `result` (a value
    or a function of the arguments)."""

    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result(*args, **kwargs) if callable(self.result) else self.result


@pytest.fixture
def recorder():
    return Recorder
