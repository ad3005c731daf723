"""Lets threadpoolctl list and limit zenqa's threads, without importing it.

The extension module runs this when it loads and calls install(): the
controller is registered at once if threadpoolctl is imported already, else
as soon as it is.
"""

import sys


def register(threadpoolctl, version):
    if not hasattr(threadpoolctl, "register"):
        return  # threadpoolctl before 3.5 takes no controllers from outside

    class ZenqaController(threadpoolctl.LibController):
        """The threads zenqa shares its decompositions and batched products with."""

        user_api = "zenqa"
        internal_api = "zenqa"
        filename_prefixes = ("zenqa",)
        check_symbols = ("zenqa_get_num_threads", "zenqa_set_num_threads")

        def get_num_threads(self):
            return self.dynlib.zenqa_get_num_threads()

        def set_num_threads(self, num_threads):
            self.dynlib.zenqa_set_num_threads(num_threads)

        def get_version(self):
            return version

    threadpoolctl.register(ZenqaController)


class RegisterOnImport:
    """A meta path finder that registers the controller once threadpoolctl has run."""

    def __init__(self, version):
        self.version = version

    def find_spec(self, name, path=None, target=None):
        if name != "threadpoolctl":
            return None
        from importlib.util import find_spec

        # Out of the way for its own lookup, and back until threadpoolctl runs:
        # a lookup alone (importlib.util.find_spec) imports nothing.
        place = sys.meta_path.index(self)
        sys.meta_path.remove(self)
        try:
            found = find_spec(name)
        finally:
            sys.meta_path.insert(place, self)
        if found is not None and found.loader is not None:
            run_module = found.loader.exec_module

            def run_then_register(module):
                if self in sys.meta_path:
                    sys.meta_path.remove(self)
                run_module(module)
                register(module, self.version)

            found.loader.exec_module = run_then_register
        return found


def install(version):
    threadpoolctl = sys.modules.get("threadpoolctl")
    if threadpoolctl is not None:
        register(threadpoolctl, version)
    else:
        sys.meta_path.insert(0, RegisterOnImport(version))
