"""Errors that stand for a user's mistake: reported as one line, exit status 1."""


class CliError(Exception):
    """A failure to report as "sekvo <command>: error: <message>"."""


class RegionError(CliError):
    """A region string that cannot be read or resolved."""


class UnknownNameError(RegionError):
    def __init__(self, name: str):
        super().__init__(f"no sequence named '{name}'")
        self.name = name
