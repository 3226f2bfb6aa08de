// kovview
