# run_stats() gives the figures of driftsim-stats --format json on the run's data file.
test_that("run_stats equals driftsim-stats --format json", {
  stats_program <- program("driftsim-stats")
  dir <- empty_folder()
  runs <- list(
    isolated = simulate_samples(ne = 60, num_loci = 40, seed = 3),
    migration = simulate_samples(ne = 60, num_loci = 40, model = 1, mig_rate = 0.1,
                                 error_rates = c(0.05, 0.02, 0.02), seed = 4),
    snps = simulate_samples(ne = 60, num_loci = 40, num_alleles = 2, seed = 5)
  )
  for (name in names(runs)) {
    stem <- file.path(dir, name)
    write_run(runs[[name]], stem)
    json <- system2(stats_program, c("--format", "json", shQuote(paste0(stem, ".dat"))),
                    stdout = TRUE)
    expected <- driftsim:::stats_table(jsonlite::fromJSON(paste(json, collapse = "\n"),
                                                          simplifyVector = FALSE))
    expect_identical(run_stats(runs[[name]]), expected, label = name)
    expect_identical(run_stats(read_run(paste0(stem, ".dat"))), expected, label = name)
  }
})

# The table's shape: its rows and columns, as driftsim-stats prints them.
test_that("run_stats has the rows and columns of driftsim-stats' table", {
  stats_program <- program("driftsim-stats")
  dir <- empty_folder()
  run <- simulate_samples(ne = 60, num_loci = 40, model = 1, mig_rate = 0.1, seed = 4)
  write_run(run, file.path(dir, "t"))
  table <- utils::read.delim(text = system2(stats_program, shQuote(file.path(dir, "t.dat")),
                                            stdout = TRUE), check.names = FALSE)
  got <- run_stats(run)
  expect_identical(names(got), names(table))
  expect_identical(got$row, table$row)
  expect_equal(as.matrix(got[-1]), as.matrix(table[-1]), tolerance = 1e-5,
               ignore_attr = TRUE)
})
