A = b
C = c
E =
S = c d
COL = a:b
x: $(A)$(A)$(A) p$(A)q${C}r$(A) a:$(A)$(A) c
y: $(A)$(S)$(A)$(COL)$(A)$(E)$(E)$(A)\
 $(A)$(A)
$(A)$(A): a\$(A)$(A) $(A)$$* é$(A)$(A)
	echo $@
