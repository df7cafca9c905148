"""`python -m corvane`: the same command as the `corvane` console script."""

from .cli import console_main

if __name__ == "__main__":
    console_main()
