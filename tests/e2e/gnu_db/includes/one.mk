ONE = one
one: ; @echo $(TOP)
