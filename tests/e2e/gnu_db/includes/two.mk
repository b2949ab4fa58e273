TWO = two $(ONE)
two: one
