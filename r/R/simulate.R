# Runs of the engine in memory, and the parameters as the engine names them.

# The nineteen values of a parameter file: the engine's name and the R name, in file order.
# sample_sizes and error_rates stand for three values each.
parameter_names <- c(
  Model = "model", Ne = "ne", MigRate = "mig_rate", NumLoci = "num_loci",
  NumAllele = "num_alleles", NumGen = "num_gen", NumIndiv0 = "sample_sizes[1]",
  NumIndiv1 = "sample_sizes[2]", NumIndiv2 = "sample_sizes[3]", IDUM = "seed",
  OutFile = "stem", INIT_POINT = "init_point", MaxNe = "max_ne", Monitor = "monitor",
  NumThread = "num_threads", MisRate = "error_rates[1]", DropRate = "error_rates[2]",
  FalseRate = "error_rates[3]", FreqDist = "freq_dist"
)
real_parameters <- c("MigRate", "MisRate", "DropRate", "FalseRate")

# The engine's values (texts by its names) of the parameters list of a run, with the stem.
engine_values <- function(p, stem) {
  numbers <- c(
    Model = p$model, Ne = p$ne, MigRate = p$mig_rate, NumLoci = p$num_loci,
    NumAllele = p$num_alleles, NumGen = p$num_gen, NumIndiv0 = p$sample_sizes[[1]],
    NumIndiv1 = p$sample_sizes[[2]], NumIndiv2 = p$sample_sizes[[3]], IDUM = p$seed,
    INIT_POINT = p$init_point, MaxNe = p$max_ne, Monitor = p$monitor,
    NumThread = p$num_threads, MisRate = p$error_rates[[1]], DropRate = p$error_rates[[2]],
    FalseRate = p$error_rates[[3]], FreqDist = p$freq_dist
  )
  texts <- ifelse(names(numbers) %in% real_parameters, real_text(numbers), whole_text(numbers))
  names(texts) <- names(numbers)
  texts <- c(texts, OutFile = stem)
  texts[names(parameter_names)]
}

# How each value is named in the engine's messages: the R argument and its value.
engine_arguments <- function(values) {
  sprintf("%s = %s", parameter_names[names(values)], values)
}

# The parameters list of a run from the engine's values (texts by its names), as R numbers.
parameters_of <- function(values) {
  number <- function(name) as.numeric(values[[name]])
  list(
    model = number("Model"), ne = number("Ne"), mig_rate = number("MigRate"),
    num_loci = number("NumLoci"), num_alleles = number("NumAllele"),
    num_gen = number("NumGen"),
    sample_sizes = c(
      source = number("NumIndiv0"), sample1 = number("NumIndiv1"),
      sample2 = number("NumIndiv2")
    ),
    seed = number("IDUM"), init_point = number("INIT_POINT"), max_ne = number("MaxNe"),
    monitor = number("Monitor"), num_threads = number("NumThread"),
    error_rates = c(
      missing = number("MisRate"), dropout = number("DropRate"),
      false_allele = number("FalseRate")
    ),
    freq_dist = number("FreqDist")
  )
}

simulate_samples <- function(ne = 1000, num_loci = 100, num_alleles = 10, num_gen = 5,
                             sample_sizes = c(50, 50, 50), model = 0, mig_rate = 0,
                             error_rates = c(0, 0, 0), max_ne = NULL, init_point = 3,
                             monitor = 1, num_threads = 0, freq_dist = 0, burn_in = 250,
                             mutation_rate = 1e-4, ne_ratio = 1, sizes = NULL,
                             num_replicates = NULL, threads = NULL, verbose = FALSE,
                             seed = NULL, chromosomes = NULL, map = NULL) {
  p <- list(
    model = whole_number(model, "model"), ne = whole_number(ne, "ne"),
    mig_rate = a_number(mig_rate, "mig_rate"), num_loci = whole_number(num_loci, "num_loci"),
    num_alleles = whole_number(num_alleles, "num_alleles"),
    num_gen = whole_number(num_gen, "num_gen"),
    sample_sizes = whole_number(sample_sizes, "sample_sizes", 3L),
    init_point = whole_number(init_point, "init_point"),
    # Unless given, MaxNe follows the run: the largest of 2000, Ne and the sizes.
    max_ne = if (is.null(max_ne)) max(2000, ne) else whole_number(max_ne, "max_ne"),
    monitor = whole_number(monitor, "monitor"),
    num_threads = whole_number(num_threads, "num_threads"),
    error_rates = a_number(error_rates, "error_rates", 3L),
    freq_dist = whole_number(freq_dist, "freq_dist")
  )
  options <- c(
    "burn-in" = whole_text(whole_number(burn_in, "burn_in")),
    "mutation-rate" = real_text(a_number(mutation_rate, "mutation_rate")),
    "ne-ratio" = real_text(a_number(ne_ratio, "ne_ratio"))
  )
  if (!is.null(chromosomes)) {
    if (is.numeric(chromosomes) && length(chromosomes) == 2L && !anyNA(chromosomes)) {
      chromosomes <- paste0(whole_text(whole_number(chromosomes[[1]], "chromosomes")), ":",
                            real_text(chromosomes[[2]]))
    } else if (!is.character(chromosomes) || length(chromosomes) != 1L || is.na(chromosomes)) {
      stop_driftsim("parameter", "chromosomes must be \"N:M\" or c(N, M)")
    }
    options <- c(options, chromosomes = chromosomes)
  }
  if (!is.null(map)) options <- c(options, map = a_path(map, "map"))
  size_pairs <- matrix(integer(0), ncol = 2)
  sizes_file <- ""
  if (is.character(sizes)) {
    sizes_file <- a_path(sizes, "sizes")
  } else if (!is.null(sizes)) {
    if (!is.numeric(sizes) || length(dim(sizes)) != 2L || ncol(sizes) != 2L || anyNA(sizes) ||
          any(sizes != round(sizes)) || any(abs(sizes) > .Machine$integer.max)) {
      stop_driftsim("parameter", paste(
        "sizes must be a two-column matrix or data frame of whole numbers",
        "(generation, size), or the name of a sizes file"
      ))
    }
    size_pairs <- matrix(as.integer(as.matrix(sizes)), ncol = 2)
  }
  thread_count <- 0L
  if (!is.null(threads)) {
    whole_number(threads, "threads")
    if (threads < 1 || threads > 1024) {
      stop_driftsim("parameter", sprintf("threads: %s is not a thread count (1 to 1024)", threads))
    }
    thread_count <- as.integer(threads)
  }
  if (!is.logical(verbose) || length(verbose) != 1L || is.na(verbose)) {
    stop_driftsim("parameter", "verbose must be TRUE or FALSE")
  }
  follow_max_ne <- is.null(max_ne)
  model_options <- list(burn_in = burn_in, mutation_rate = mutation_rate, ne_ratio = ne_ratio,
                        sizes = sizes, chromosomes = chromosomes, map = map)

  one <- function(run_seed, replicate = NULL) {
    p$seed <- run_seed
    values <- engine_values(p, "run")
    result <- engine_value(.engine_simulate(
      values, engine_arguments(values), options, size_pairs, sizes_file, thread_count,
      follow_max_ne, verbose
    ))
    new_run(
      genotypes = result$genotypes, sample = result$sample,
      parameters = parameters_of(result$parameters), true_values = result$true_values,
      model = model_options, replicate = replicate, cpu_path = result$cpu_path,
      linkage = result$linkage
    )
  }

  base_seed <- if (is.null(seed)) fresh_seed() else whole_number(seed, "seed")
  if (is.null(num_replicates)) {
    return(one(base_seed))
  }
  whole_number(num_replicates, "num_replicates")
  if (num_replicates < 0) {
    stop_driftsim("parameter", sprintf(
      "num_replicates must be 0 or more and got %.0f", num_replicates
    ))
  }
  seeds <- replicate_seeds(base_seed, num_replicates)
  lapply(seq_along(seeds), function(k) one(seeds[[k]], k))
}
