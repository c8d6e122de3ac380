# An interrupt from another process stops a long run within a second and leaves nothing.
test_that("SIGINT from another process stops a W3-sized run within a second", {
  skip_on_os("windows")
  dir <- empty_folder()
  sent <- file.path(dir, "sent")
  # Another process interrupts this one a second after the run has started, and notes when.
  system(sprintf("sh -c 'sleep 1; date +%%s.%%N > %s; kill -INT %d' >/dev/null 2>&1 &",
                 shQuote(sent), Sys.getpid()))
  withr::with_dir(dir, {
    result <- tryCatch(
      simulate_samples(model = 1, ne = 1000, mig_rate = 0.01, num_loci = 100000,
                       num_alleles = 2, num_gen = 10, error_rates = c(0.01, 0.01, 0.01),
                       seed = 3307),
      interrupt = function(e) "interrupted"
    )
  })
  back <- as.numeric(Sys.time())
  expect_identical(result, "interrupted")
  expect_lt(back - as.numeric(readLines(sent)), 1)
  expect_identical(list.files(dir, all.files = TRUE, no.. = TRUE), "sent")
})
