THREE := three
OPTIONAL ?= default
