# The driftsim_run object: genotypes, samples, parameters and true values, and its methods.
test_that("a run holds its genotypes, samples, parameters and true values", {
  cases <- list(
    list(args = list(), n = c(S1 = 50, S2 = 50), max_ne = 2000),
    list(args = list(model = 1, mig_rate = 0.1, sample_sizes = c(5, 7, 9)),
         n = c(S1 = 7, S2 = 9, S0 = 5), max_ne = 2000),
    list(args = list(ne = 3000), n = c(S1 = 50, S2 = 50), max_ne = 3000),
    list(args = list(sizes = rbind(c(1, 2500))), n = c(S1 = 50, S2 = 50), max_ne = 2500),
    list(args = list(max_ne = 1500), n = c(S1 = 50, S2 = 50), max_ne = 1500)
  )
  for (case in cases) {
    run <- do.call(simulate_samples, c(case$args, num_loci = 20, seed = 9))
    label <- paste(deparse(case$args), collapse = "")
    expect_s3_class(run, "driftsim_run")
    expect_identical(dim(run$genotypes), c(20L, as.integer(sum(case$n)), 2L))
    expect_type(run$genotypes, "integer")
    expect_identical(c(table(run$sample)), unlist(lapply(case$n, as.integer)), label = label)
    expect_identical(run$parameters$max_ne, case$max_ne, label = label)
    expect_true(all(run$genotypes %in% 1:10), label = label)
    expect_named(run$true_values, c("harmonic_mean_ne", "drift_ne", "temporal_f", "sizes"))
  }
})

test_that("missing genotypes are NA in both alleles", {
  run <- simulate_samples(ne = 100, num_loci = 200, error_rates = c(0.2, 0, 0), seed = 2)
  missing <- is.na(run$genotypes)
  expect_gt(mean(missing[, , 1]), 0.1)
  expect_identical(missing[, , 1], missing[, , 2])
})

test_that("print, summary and as.data.frame describe the run", {
  run <- simulate_samples(ne = 100, num_loci = 6, sample_sizes = c(0, 3, 4), seed = 77)
  expect_output(print(run), "6 loci, 7 individuals \\(S1 3, S2 4\\).*seed 77")
  expect_output(print(summary(run)), "Ne 100")
  df <- as.data.frame(run)
  expect_identical(nrow(df), 6L * 7L)
  expect_named(df, c("individual", "sample", "locus", "allele1", "allele2"))
  row <- df[df$individual == "S2_2" & df$locus == "L5", ]
  expect_identical(c(row$allele1, row$allele2), unname(run$genotypes[5, "S2_2", ]))
  expect_identical(as.character(row$sample), "S2")
})
