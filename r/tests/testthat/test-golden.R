# write_run(simulate_samples(...)) writes the command line's bytes: the golden cases, each run
# with the values of its parameter file, in a folder of its own as the command line runs there.
test_that("write_run gives the golden cases' bytes", {
  cases <- file.path(repository(), "tests", "golden", "cases")
  names <- sub("\\.txt$", "", list.files(cases, pattern = "^g[0-9]+\\.txt$"))
  expect_gt(length(names), 0)
  for (name in names) {
    run <- do.call(simulate_samples, arguments_of_file(file.path(cases, paste0(name, ".txt"))))
    withr::with_dir(empty_folder(), {
      expect_equal(write_run(run, name), paste0(name, c(".dat", ".par")))
      for (ext in c(".dat", ".par")) {
        expect_identical(file_bytes(paste0(name, ext)),
                         file_bytes(file.path(cases, paste0(name, ext))), label = name)
      }
      expect_setequal(list.files(all.files = TRUE, no.. = TRUE), paste0(name, c(".dat", ".par")))
    })
  }
})

# read_run gives back what write_run wrote: the same genotypes and samples, and writing a
# simulated run again gives the same bytes.
test_that("read_run reads back what write_run wrote", {
  dir <- empty_folder()
  for (alleles in c(2, 10)) {
    run <- simulate_samples(ne = 50, num_loci = 30, num_alleles = alleles, model = 1,
                            mig_rate = 0.1, error_rates = c(0.1, 0.05, 0.05), seed = 11)
    stem <- file.path(dir, paste0("a", alleles))
    write_run(run, stem)
    back <- read_run(paste0(stem, ".dat"))
    expect_identical(back$genotypes, run$genotypes)
    expect_identical(back$sample, run$sample)
    expect_identical(back$generations, run$parameters$num_gen)
    expect_true(anyNA(back$genotypes))
  }
})
