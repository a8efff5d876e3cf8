"""Native utility modules of the Zelkor installer."""
