# Type information for corvane._native, the package's private extension module.
from . import Output, PreparedCommand

def run(prepared: PreparedCommand, kill_on_output_limit: bool, /) -> Output: ...
