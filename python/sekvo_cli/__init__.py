"""The `sekvo` command: FASTA regions and BED intervals at the command line.

    sekvo index FILE
    sekvo faidx FILE [REGION ...]
    sekvo getfasta FILE --bed BED
"""


def version() -> str:
    """The installed distribution's version (looked up only when asked: the lookup is slow)."""
    from importlib import metadata

    try:
        return metadata.version("sekvo")
    except metadata.PackageNotFoundError:
        return "unknown"
