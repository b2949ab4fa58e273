OPTIONAL = optional
