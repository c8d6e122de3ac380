library(testthat)
library(driftsim)

test_check("driftsim")
