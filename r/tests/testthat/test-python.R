# The Python module writes the same bytes for the same seed and values (DRIFTSIM_PYTHON: a
# Python that imports driftsim), and gives replicates the same seeds.
test_that("write_run and the Python module's write give the same bytes", {
  python <- Sys.getenv("DRIFTSIM_PYTHON")
  if (!nzchar(python) || system2(python, c("-c", shQuote("import driftsim")),
                                 stdout = FALSE, stderr = FALSE) != 0) {
    skip("DRIFTSIM_PYTHON does not name a Python that imports driftsim")
  }
  cases <- list(
    list(ne = 300, num_loci = 40, seed = 17),
    list(model = 1, ne = 120, mig_rate = 0.05, num_loci = 37, num_gen = 3,
         sample_sizes = c(7, 9, 11), error_rates = c(0.05, 0.05, 0.05), seed = -12345),
    list(ne = 600, num_loci = 23, num_alleles = 2, num_gen = 2, sample_sizes = c(0, 10, 12),
         error_rates = c(0.1, 0.1, 0.1), freq_dist = 1, seed = 99),
    list(ne = 50, num_loci = 15, burn_in = 10, mutation_rate = 0.001, ne_ratio = 0.5,
         sizes = rbind(c(3, 80), c(12, 40)), seed = 5)
  )
  dir <- empty_folder()
  # Each side writes the stem "case" in a folder of its own, the .par naming case.dat.
  lines <- c("import os, driftsim", "def run(i, seed, model, **values):",
             "    p = driftsim.Parameters(**values)",
             "    os.chdir(f'py{i}')",
             "    driftsim.simulate(p, seed=seed, **model).write('case')",
             "    os.chdir('..')")
  for (i in seq_along(cases)) {
    run <- do.call(simulate_samples, cases[[i]])
    for (side in c("r", "py")) dir.create(file.path(dir, paste0(side, i)))
    withr::with_dir(file.path(dir, paste0("r", i)), write_run(run, "case"))
    p <- run$parameters
    sizes <- run$model$sizes
    model <- sprintf(
      "dict(burn_in=%s, mutation_rate=%s, ne_ratio=%s, sizes=%s)", run$model$burn_in,
      run$model$mutation_rate, run$model$ne_ratio,
      if (is.null(sizes)) "None" else sprintf("[%s]", paste(sprintf("(%d, %d)", sizes[, 1],
                                                                    sizes[, 2]), collapse = ", "))
    )
    lines <- c(lines, sprintf(paste(
      "run(%d, %.0f, %s, Model=%g, Ne=%g, MigRate=%s, NumLoci=%g, NumAllele=%g, NumGen=%g,",
      "NumIndiv0=%g, NumIndiv1=%g, NumIndiv2=%g, INIT_POINT=%g, MaxNe=%g, Monitor=%g,",
      "NumThread=%g, MisRate=%s, DropRate=%s, FalseRate=%s, FreqDist=%g)"
    ), i, p$seed, model, p$model, p$ne, p$mig_rate, p$num_loci, p$num_alleles, p$num_gen,
    p$sample_sizes[[1]], p$sample_sizes[[2]], p$sample_sizes[[3]],
    p$init_point, p$max_ne, p$monitor, p$num_threads, p$error_rates[[1]], p$error_rates[[2]],
    p$error_rates[[3]], p$freq_dist))
  }
  script <- file.path(dir, "cases.py")
  writeLines(lines, script)
  withr::with_dir(dir, expect_identical(system2(python, script), 0L))
  for (i in seq_along(cases)) {
    for (ext in c(".dat", ".par")) {
      expect_identical(file_bytes(file.path(dir, paste0("r", i), paste0("case", ext))),
                       file_bytes(file.path(dir, paste0("py", i), paste0("case", ext))),
                       label = sprintf("case %d%s", i, ext))
    }
  }
})
